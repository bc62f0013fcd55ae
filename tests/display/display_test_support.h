// Shared set-up of the display tests: a fresh board root, the flip handler filled in as the video
// thread does, and frames drawn until the virtual display has shown them.
#pragma once

#include "core/board_root.h"
#include "display/display_device.h"
#include "tests/support/board_fixture.h"
#include "tests/support/gl_driver.h"
#include "tests/support/screen_reader.h"


#include <chrono>
#include <cstdint>
#include <optional>

namespace display_test {

inline constexpr std::chrono::milliseconds SCREEN_TIMEOUT{5000};
inline constexpr int BAND_HEIGHT = 360;

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

// The newest frame's sequence, counting a frame still being written as done (0 when there is no
// screen yet). Read from the header alone: copying the whole screen for it took most of the
// time of the tests that draw frame after frame.
inline uint64_t screen_sequence()
{
    int64_t sequence = read_screen_sequence(board_path("/sim/screen"));
    return sequence < 0 ? 0 : static_cast<uint64_t>(sequence + sequence % 2);
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
