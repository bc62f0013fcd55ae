// The virtual display's screen as tests look at it, through the simulator's screen file reader.
#include "tests/support/screen_reader.h"

#include "core/board_root.h"
#include "tests/support/board_fixture.h"

namespace board_test {

screen_pixel pixel_at(const ScreenImage& screen, int x, int y)
{
    const uint8_t* p = screen.rgba.data() + (size_t(y) * screen.width + size_t(x)) * 4;
    return {p[0], p[1], p[2], p[3]};
}

std::optional<ScreenImage> current_screen()
{
    ScreenImage screen;
    if (read_screen(board_path("/sim/screen"), screen) != 0)
        return std::nullopt;
    return screen;
}

std::optional<ScreenImage> wait_for_screen_that(const std::function<bool(const ScreenImage&)>& check,
                                                std::chrono::milliseconds timeout)
{
    const std::string file = board_path("/sim/screen");
    // One buffer for every read: a fresh 8 MB buffer costs far more than the read itself (a
    // third of a second under ThreadSanitizer), and a slow reader misses short-lived frames.
    ScreenImage screen;
    int64_t checked = -1;
    const bool passed = wait_until(
        [&] {
            if (read_screen_sequence(file) == checked || read_screen(file, screen) != 0)
                return false;
            checked = static_cast<int64_t>(screen.sequence);
            return check(screen);
        },
        timeout);
    return passed ? std::optional<ScreenImage>(std::move(screen)) : std::nullopt;
}

std::optional<ScreenImage> wait_for_screen(uint64_t after, std::chrono::milliseconds timeout)
{
    return wait_for_screen_that([after](const ScreenImage& screen) { return screen.sequence > after; }, timeout);
}

std::optional<ScreenImage> screen_showing(const std::string& board_file, std::chrono::milliseconds timeout)
{
    ScreenImage picture;
    if (load_picture(board_path(board_file), picture) != 0)
        return std::nullopt;
    return wait_for_screen_that(
        [&](const ScreenImage& screen) { return screen_shows(screen, picture, COLOUR_TOLERANCE); }, timeout);
}

} // namespace board_test
