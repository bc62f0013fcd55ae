// The display device: bring-up of EGL on the chosen output, presentation by page flips with
// their pending-flip bookkeeping, and teardown.
#include "display/display_device.h"

#include "core/board_root.h"
#include "display/display_output.h"
#include "display/log_location.h"

#include <EGL/egl.h>
#include <EGL/eglext.h>
#include <poll.h>
#include <sys/stat.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <iterator>
#include <memory>
#include <new>

drmEventContext g_evctx;
int waiting_for_flip;
int g_display_freq = 60;

namespace {

constexpr EGLint CONFIG_COLOUR_SIZE = 8;

const EGLint configAttributes[] = {
    EGL_SAMPLES, BOARD_SAMPLES,
    EGL_ALPHA_SIZE, 0,
    EGL_RED_SIZE, CONFIG_COLOUR_SIZE,
    EGL_GREEN_SIZE, CONFIG_COLOUR_SIZE,
    EGL_BLUE_SIZE, CONFIG_COLOUR_SIZE,
    EGL_BUFFER_SIZE, 32,
    EGL_STENCIL_SIZE, 0,
    EGL_RENDERABLE_TYPE, EGL_OPENGL_ES2_BIT,
    EGL_SURFACE_TYPE, EGL_WINDOW_BIT,
    EGL_DEPTH_SIZE, 16,
    EGL_NONE,
};
const EGLint contextAttributes[] = {EGL_CONTEXT_CLIENT_VERSION, 2, EGL_NONE};

const display_output* g_output;
pollfd g_drm_fds = {-1, POLLIN, 0};
EGLDisplay g_display = EGL_NO_DISPLAY;
EGLConfig g_config;
EGLSurface g_surface = EGL_NO_SURFACE;
EGLContext g_context = EGL_NO_CONTEXT;
void* g_bo;
uint32_t bo_fb_id;
void* g_next_bo;
uint32_t next_bo_fb_id;

// The virtual output stands in for the card only off the board, and only when there is no card
// node at all: a node that is there but cannot be opened is a failure to report, as on the board.
bool use_virtual_output()
{
    struct stat node;
    return !board_root().empty() && lstat(board_path("/dev/dri/card0").c_str(), &node) != 0;
}

void log_egl_error()
{
    EGLint error = eglGetError();
    printf("eglGetError(): %i (0x%.4x)\n", error, error);
}

// "<what> at <file>:<line>" for the check at `where`.
void log_failure_at(const char* what, code_location where = code_location::current())
{
    printf("%s at %s:%i\n", what, source_file_name(where), where.line);
}

void log_egl_failure(const char* what, code_location where = code_location::current())
{
    log_egl_error();
    log_failure_at(what, where);
}

// The two checks that print the error in hexadecimal only.
void log_egl_failure_hex(const char* what, code_location where = code_location::current())
{
    printf("eglGetError(): (0x%.4x)\n", eglGetError());
    log_failure_at(what, where);
}

// The requested attributes, with the surface type and samples of the output in use.
std::array<EGLint, std::size(configAttributes)> config_attributes()
{
    std::array<EGLint, std::size(configAttributes)> attributes;
    std::copy(std::begin(configAttributes), std::end(configAttributes), attributes.begin());
    for (size_t i = 0; attributes[i] != EGL_NONE; i += 2) {
        if (attributes[i] == EGL_SURFACE_TYPE)
            attributes[i + 1] = g_output->surface_type;
        else if (attributes[i] == EGL_SAMPLES)
            attributes[i + 1] = g_output->samples;
    }
    return attributes;
}

EGLDisplay get_platform_display()
{
    auto get_display = reinterpret_cast<PFNEGLGETPLATFORMDISPLAYEXTPROC>(
        eglGetProcAddress("eglGetPlatformDisplayEXT"));
    if (!get_display)
        return EGL_NO_DISPLAY;
    EGLDisplay display = get_display(g_output->platform, g_output->native_display(), nullptr);
    if (display == EGL_NO_DISPLAY)
        puts("failed to get egl display");
    return display;
}

// The first config, in EGL's order, whose red, green and blue sizes are exactly the requested
// ones; 0 when found, -1 once the failure is logged.
int choose_config(const EGLConfig* configs, EGLint count)
{
    const EGLint channels[] = {EGL_RED_SIZE, EGL_GREEN_SIZE, EGL_BLUE_SIZE};
    for (EGLint i = 0; i < count; i++) {
        bool matches = true;
        for (EGLint channel : channels) {
            EGLint size = 0;
            if (eglGetConfigAttrib(g_display, configs[i], channel, &size) != EGL_TRUE) {
                log_egl_failure("Failed to get EGL attribute");
                return -1;
            }
            if (size != CONFIG_COLOUR_SIZE) {
                matches = false;
                break;
            }
        }
        if (matches) {
            g_config = configs[i];
            return 0;
        }
    }
    log_failure_at("Failed to find matching EGL config");
    return -1;
}

int find_config()
{
    auto attributes = config_attributes();
    EGLint count = 0;
    if (eglChooseConfig(g_display, attributes.data(), nullptr, 0, &count) != EGL_TRUE) {
        log_egl_failure("Failed to enumerate EGL configs");
        return -1;
    }
    std::unique_ptr<EGLConfig[]> configs(new (std::nothrow) EGLConfig[count > 0 ? count : 1]);
    if (!configs) {
        log_failure_at("Out of memory");
        return -1;
    }
    if (eglChooseConfig(g_display, attributes.data(), configs.get(), count, &count) != EGL_TRUE) {
        log_egl_failure("Failed to enumerate EGL configs");
        return -1;
    }
    return choose_config(configs.get(), count);
}

// Display, config, surface and context, made current on the calling thread.
int bring_up_egl()
{
    g_display = get_platform_display();
    if (eglInitialize(g_display, nullptr, nullptr) != EGL_TRUE) {
        log_egl_failure_hex("Failed to initialize EGL");
        return -1;
    }
    if (find_config() != 0)
        return -1;
    g_surface = g_output->create_surface(g_display, g_config);
    if (g_surface == EGL_NO_SURFACE) {
        log_egl_failure("Failed to create EGL surface");
        return -1;
    }
    eglBindAPI(EGL_OPENGL_ES_API);
    g_context = eglCreateContext(g_display, g_config, EGL_NO_CONTEXT, contextAttributes);
    if (g_context == EGL_NO_CONTEXT) {
        log_egl_failure("Failed to create EGL context");
        return -1;
    }
    if (eglMakeCurrent(g_display, g_surface, g_surface, g_context) != EGL_TRUE) {
        log_egl_failure_hex("Failed to EGL MakeCurrent");
        return -1;
    }
    if (g_output->prepare_surface)
        g_output->prepare_surface();
    return 0;
}

// Shows the first, empty frame by a mode set.
int show_first_frame()
{
    if (eglSwapBuffers(g_display, g_surface) != EGL_TRUE) {
        log_egl_error();
        puts("eglSwapBuffers failed");
        return -1;
    }
    g_bo = g_output->lock_front_buffer({});
    if (!g_bo) {
        puts("gbm_surface_lock_front_buffer failed");
        return -1;
    }
    bo_fb_id = g_output->add_fb(g_bo);
    if (bo_fb_id == INVALID_FB_ID) {
        puts("get_drm_fb failed");
        return -1;
    }
    if (g_output->set_crtc(bo_fb_id) != 0) {
        puts("failed to set mode");
        return -1;
    }
    return 0;
}

int bring_up()
{
    g_output = use_virtual_output() ? &virtual_output : &drm_output;
    if (g_output->open() != 0)
        return -1;
    g_drm_fds = {g_output->event_fd(), POLLIN, 0};
    if (bring_up_egl() != 0)
        return -1;
    return show_first_frame();
}

// Gives a buffer back to the output together with its framebuffer.
void release_scanout(void* bo, uint32_t fb_id)
{
    if (fb_id != INVALID_FB_ID)
        g_output->remove_fb(fb_id);
    g_output->release_buffer(bo);
}

// A frame that cannot be shown returns its buffer at once, so the surface never runs out of
// buffers; the pair then names the buffer on screen again, as after a completed flip.
void drop_next_buffer()
{
    if (g_next_bo && g_next_bo != g_bo)
        release_scanout(g_next_bo, next_bo_fb_id);
    g_next_bo = g_bo;
    next_bo_fb_id = bo_fb_id;
}

// One teardown for every stage of bring-up and for the end: each handle is checked, buffers go
// back before anything else, and the EGL surface goes before the GBM surface it was made on.
void release_display()
{
    if (g_next_bo)
        release_scanout(g_next_bo, next_bo_fb_id);
    if (g_bo && g_bo != g_next_bo)
        release_scanout(g_bo, bo_fb_id);
    g_bo = g_next_bo = nullptr;
    bo_fb_id = next_bo_fb_id = INVALID_FB_ID;
    waiting_for_flip = 0;
    if (g_display != EGL_NO_DISPLAY) {
        eglMakeCurrent(g_display, EGL_NO_SURFACE, EGL_NO_SURFACE, EGL_NO_CONTEXT);
        if (g_surface != EGL_NO_SURFACE)
            eglDestroySurface(g_display, g_surface);
        if (g_context != EGL_NO_CONTEXT)
            eglDestroyContext(g_display, g_context);
        eglTerminate(g_display);
        eglReleaseThread();
    }
    g_display = EGL_NO_DISPLAY;
    g_surface = EGL_NO_SURFACE;
    g_context = EGL_NO_CONTEXT;
    if (g_output)
        g_output->close();
    g_output = nullptr;
    g_drm_fds.fd = -1;
}

} // namespace

int initVideo()
{
    bo_fb_id = next_bo_fb_id = INVALID_FB_ID;
    waiting_for_flip = 0;
    if (bring_up() != 0) {
        release_display();
        printf("%s-->Failed to init video!\n", "initVideo");
        return -1;
    }
    return 0;
}

void swapBuffers(drawn_rows rows)
{
    if (eglSwapBuffers(g_display, g_surface) != EGL_TRUE) {
        log_egl_error();
        puts("eglSwapBuffers failed");
    }
    // The render loop never waits for the display: a frame finished while the previous flip is
    // still pending is simply not shown.
    if (wait_flip(false) == 1)
        return;
    g_next_bo = g_output->lock_front_buffer(rows);
    if (!g_next_bo) {
        puts("gbm_surface_lock_front_buffer failed");
        drop_next_buffer();
        return;
    }
    next_bo_fb_id = g_output->add_fb(g_next_bo);
    if (next_bo_fb_id == INVALID_FB_ID) {
        puts("get_drm_fb failed");
        drop_next_buffer();
        return;
    }
    if (g_output->page_flip(next_bo_fb_id, &waiting_for_flip) != 0) {
        puts("drmModePageFlip failed");
        drop_next_buffer();
        return;
    }
    waiting_for_flip = 1;
    wait_flip(false);
}

int wait_flip(bool block)
{
    return wait_flip_within(block ? -1 : 0);
}

int wait_flip_within(int timeout_ms)
{
    if (!waiting_for_flip)
        return 0;
    while (waiting_for_flip) {
        if (!drm_wait_flip(timeout_ms))
            break;
    }
    if (waiting_for_flip)
        return 1;
    g_output->remove_fb(bo_fb_id);
    bo_fb_id = next_bo_fb_id;
    g_output->release_buffer(g_bo);
    g_bo = g_next_bo;
    return 0;
}

bool drm_wait_flip(int timeout)
{
    int ready;
    // A signal arriving during the wait (the player handles several) says nothing about the
    // flip: wait again.
    do {
        g_drm_fds.revents = 0;
        ready = poll(&g_drm_fds, 1, timeout);
    } while (ready < 0 && errno == EINTR);
    if (ready < 0 || (g_drm_fds.revents & (POLLERR | POLLHUP)) || !(g_drm_fds.revents & POLLIN))
        return false;
    g_output->handle_events();
    return true;
}

void page_flip_handler(int, unsigned int, unsigned int, unsigned int, void* data)
{
    if (data)
        *static_cast<int*>(data) = 0;
}

void cleanVideo()
{
    release_display();
}
