// Shared set-up of the display tests: a fresh board root, the flip handler filled in as the video
// thread does, and frames drawn until the virtual display has shown them.
#pragma once

#include "display/display_device.h"
#include "tests/support/board_fixture.h"
#include "tests/support/screen_reader.h"

#include <EGL/egl.h>
#include <EGL/eglext.h>
#include <dlfcn.h>
#include <link.h>

#include <chrono>
#include <cstdint>
#include <optional>
#include <string_view>

namespace display_test {

inline constexpr std::chrono::milliseconds SCREEN_TIMEOUT{5000};
inline constexpr int BAND_HEIGHT = 360;

// Mesa unloads its driver when the last display is terminated; the blocks the driver's globals
// still pointed to would then be reported as leaks. Opening the loaded driver once more with
// RTLD_NODELETE keeps it mapped, and those blocks reachable, until the process ends.
inline void keep_gl_driver_loaded()
{
    EGLDisplay display = eglGetPlatformDisplay(EGL_PLATFORM_SURFACELESS_MESA, EGL_DEFAULT_DISPLAY, nullptr);
    eglInitialize(display, nullptr, nullptr);
    dl_iterate_phdr(
        [](dl_phdr_info* info, size_t, void*) {
            if (std::string_view(info->dlpi_name).ends_with("_dri.so"))
                dlopen(info->dlpi_name, RTLD_NOW | RTLD_NOLOAD | RTLD_NODELETE);
            return 0;
        },
        nullptr);
    eglTerminate(display);
}

class DisplayTest : public board_test::BoardRootTest {
protected:
    void SetUp() override
    {
        BoardRootTest::SetUp();
        keep_gl_driver_loaded();
        g_evctx = {};
        g_evctx.version = 3;
        g_evctx.page_flip_handler = page_flip_handler;
    }
};

// Current screen sequence (0 when there is no screen yet).
inline uint64_t screen_sequence()
{
    std::optional<ScreenImage> screen = board_test::current_screen();
    return screen ? screen->sequence : 0;
}

// Draws one frame with nothing pending before it, and returns the screen once it shows it.
template <typename Draw>
std::optional<ScreenImage> draw_and_show(Draw draw)
{
    wait_flip(true);
    uint64_t before = screen_sequence();
    draw();
    return board_test::wait_for_screen(before, SCREEN_TIMEOUT);
}

} // namespace display_test
