// The screen of the virtual display (ROOT/sim/screen) as tests look at it: the frame on screen
// now, the next one to appear, and single pixels.
#pragma once

#include "tools/screen_capture.h"

#include <chrono>
#include <cstdint>
#include <optional>

namespace board_test {

struct screen_pixel {
    uint8_t r, g, b, a;
    bool operator==(const screen_pixel&) const = default;
};

screen_pixel pixel_at(const ScreenImage& screen, int x, int y);

// The last complete frame; nullopt when there is no screen file or no stable frame in it.
std::optional<ScreenImage> current_screen();

// Waits until the screen shows a frame with a sequence above `after`; nullopt on time-out.
std::optional<ScreenImage> wait_for_screen(uint64_t after, std::chrono::milliseconds timeout);

} // namespace board_test
