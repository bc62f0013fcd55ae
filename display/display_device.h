// The display device: brings the HDMI output up (DRM/KMS with GBM and EGL on the board, the
// virtual output off it), presents each rendered frame by a page flip and tears it all down.
#pragma once

#include <xf86drm.h>

#include <climits>
#include <cstdint>

struct gbm_bo;

// Rows of a frame (GL's, counted from the bottom) that hold its picture; every other row holds
// the one colour the frame was cleared to. The virtual output reads back only these rows and one
// pixel of the rest; a card scans its buffer out whole either way.
struct drawn_rows {
    int y = 0;
    int height = INT_MAX;
};

// Flip-complete dispatch table; filled by the video thread before bring-up.
extern drmEventContext g_evctx;
// 1 from a successful flip request until its completion has been handled.
extern int waiting_for_flip;
// Vertical refresh the output must run at, in Hz.
extern int g_display_freq;

// Framebuffer id that means "none" (all bits set).
inline constexpr uint32_t INVALID_FB_ID = UINT32_MAX;

int initVideo();
uint32_t get_drm_fb(gbm_bo* bo);
void swapBuffers(drawn_rows rows = {});
int wait_flip(bool block);
// As wait_flip, waiting at most `timeout_ms` (-1: without limit) for the pending flip to complete;
// 0 when no flip is pending any more, 1 when it still is.
int wait_flip_within(int timeout_ms);
bool drm_wait_flip(int timeout);
void page_flip_handler(int fd, unsigned int frame, unsigned int sec, unsigned int usec, void* data);
void cleanVideo();
