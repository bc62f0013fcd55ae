// What the display device needs from the output it drives: the DRM/KMS card on the board, the
// virtual output when the board root is set and the card node is absent.
#pragma once

#include "display/display_device.h"

#include <EGL/egl.h>

#include <cstdint>

// Samples per pixel of the board's EGL config.
inline constexpr EGLint BOARD_SAMPLES = 4;

struct display_output {
    // Steps before EGL (card, mode, GBM); 0, or -1 once the failure is logged.
    int (*open)();
    // Native display handle and EGL platform for eglGetPlatformDisplayEXT.
    EGLenum platform;
    void* (*native_display)();
    // Surface type and multisampling asked of the EGL config, and how the surface is made.
    EGLint surface_type;
    EGLint samples;
    EGLSurface (*create_surface)(EGLDisplay display, EGLConfig config);
    // Called once the context is current on the new surface; may be null.
    void (*prepare_surface)();
    // Descriptor that becomes readable when a flip-complete event is waiting.
    int (*event_fd)();
    // Scan-out buffers: taken after each eglSwapBuffers, given back once off screen.
    void* (*lock_front_buffer)(drawn_rows rows);
    void (*release_buffer)(void* bo);
    uint32_t (*add_fb)(void* bo);  // INVALID_FB_ID on failure, after its message
    void (*remove_fb)(uint32_t fb_id);
    int (*set_crtc)(uint32_t fb_id);                // first frame, by a mode set
    int (*page_flip)(uint32_t fb_id, void* data);   // 0 when queued; completes through handle_events
    void (*handle_events)();                        // dispatches to g_evctx
    // Releases what `open` made; called after EGL is gone, safe to call at any stage.
    void (*close)();
};

extern const display_output drm_output;
extern const display_output virtual_output;
