// The screen of the virtual display (ROOT/sim/screen) as tests look at it: the frame on screen
// now, the next one to appear, and single pixels.
#pragma once

#include "sim/screen_capture.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

namespace board_test {

// How far a colour on screen may be from the picture's: scaling and colour conversion move it a little.
inline constexpr int COLOUR_TOLERANCE = 8;

struct screen_pixel {
    uint8_t r, g, b, a;
    bool operator==(const screen_pixel&) const = default;
};

screen_pixel pixel_at(const ScreenImage& screen, int x, int y);

// The last complete frame; nullopt when there is no screen file or no stable frame in it.
std::optional<ScreenImage> current_screen();

// Waits until the screen shows a frame that passes `check`; nullopt on time-out. Each frame is
// read and checked once: between frames only the screen file's header is looked at, so that the
// wait takes next to nothing from the program that draws.
std::optional<ScreenImage> wait_for_screen_that(const std::function<bool(const ScreenImage&)>& check,
                                                std::chrono::milliseconds timeout);

// Waits until the screen shows a frame with a sequence above `after`; nullopt on time-out.
std::optional<ScreenImage> wait_for_screen(uint64_t after, std::chrono::milliseconds timeout);

// Waits until the band shows the picture file at `board_file` (a board path), as it is (1920
// wide); the frame that shows it, nullopt when it cannot be loaded or does not appear in time.
std::optional<ScreenImage> screen_showing(const std::string& board_file, std::chrono::milliseconds timeout);
inline bool band_shows(const std::string& board_file, std::chrono::milliseconds timeout)
{
    return screen_showing(board_file, timeout).has_value();
}

} // namespace board_test
