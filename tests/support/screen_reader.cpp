// The virtual display's screen as tests look at it, through the simulator's screen file reader.
#include "tests/support/screen_reader.h"

#include "core/board_root.h"
#include "tests/support/board_fixture.h"

#include <thread>

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

std::optional<ScreenImage> wait_for_screen(uint64_t after, std::chrono::milliseconds timeout)
{
    auto deadline = std::chrono::steady_clock::now() + timeout;
    do {
        std::optional<ScreenImage> screen = current_screen();
        if (screen && screen->sequence > after)
            return screen;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    } while (std::chrono::steady_clock::now() < deadline);
    return std::nullopt;
}

bool band_shows(const std::string& board_file, std::chrono::milliseconds timeout)
{
    ScreenImage picture;
    if (load_picture(board_path(board_file), picture) != 0)
        return false;
    return wait_until(
        [&] {
            std::optional<ScreenImage> screen = current_screen();
            return screen && screen_shows(*screen, picture, COLOUR_TOLERANCE);
        },
        timeout);
}

} // namespace board_test
