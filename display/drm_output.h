// The board's output: the DRM card, its first connector in 1920x1080 at the required refresh,
// the CRTC the boot chain left on it, and a GBM scan-out surface.
#pragma once

#include <xf86drmMode.h>

// Requested output mode.
inline constexpr int MODE_WIDTH = 1920;
inline constexpr int MODE_HEIGHT = 1080;

// The first mode of the connector's list named `mode_name` at g_display_freq Hz, logged as
// found; null after "Couldn't get device connector." or "Couldn't get drm mode.".
drmModeModeInfo* select_drm_mode(drmModeConnector* connector, const char* mode_name);
