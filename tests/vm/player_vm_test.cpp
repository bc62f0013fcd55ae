// The player program on the real KMS card and the real USB HID gadget, driven by tavimoro-host
// through real hidraw: the boot picture and a named game's picture reach the scanout, a file is
// stored byte for byte, a pushed picture is shown, and SIGTERM ends the player cleanly.
#include "tests/vm/vm_board.h"

#include "core/board_root.h"
#include "tools/sample_media.h"
#include "tools/screen_capture.h"
#include "tools/sim_board.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <iostream>
#include <random>
#include <thread>

namespace {

using namespace std::chrono_literals;

constexpr int WIDTH = vm_test::SCREEN_WIDTH;
constexpr int BAND_HEIGHT = 360;
// The first picture waits for the whole start-up, display bring-up included, under emulation.
constexpr auto START_TIMEOUT = 90s;
constexpr auto PICTURE_TIMEOUT = 45s;
constexpr auto STOP_TIMEOUT = 30s;
// A dump costs the guest a 6 MB read: look every second rather than take the player's processors.
constexpr auto DUMP_INTERVAL = 1s;
constexpr size_t FILE_SIZE = 30001;
// The renderer may round a colour step differently from the picture decoder.
constexpr int COLOUR_TOLERANCE = 2;
constexpr uint8_t OPAQUE = 0xff;

const std::string DISK = std::string("/media/") + SIM_DEFAULT_DISK;
const std::string BOOT_PICTURE = DISK + "/vorlix/.assets/vorlix-boot.png";
const std::string GAME_PICTURE = DISK + "/vorlix/vorlix/star fighter.png";
const std::string PUSHED_PICTURE = "/sim/in/high scores.png";
constexpr const char* PLAYER_LOG = "/sim/player.log";

// The dump in the layout of the player's screen file, to compare with a picture file.
ScreenImage as_image(const vm_test::Screen& screen)
{
    ScreenImage image;
    image.width = static_cast<uint32_t>(screen.width);
    image.height = static_cast<uint32_t>(screen.height);
    image.rgba.reserve(screen.rgb.size() / 3 * 4);
    for (size_t i = 0; i + 2 < screen.rgb.size(); i += 3)
        image.rgba.insert(image.rgba.end(), {screen.rgb[i], screen.rgb[i + 1], screen.rgb[i + 2], OPAQUE});
    return image;
}

// The player program, started on the board root as the board would start it.
class PlayerProcess {
public:
    bool start()
    {
        // The card has no 3D, so Mesa draws in software either way; asked for it at once, Mesa skips
        // probing the card's own driver, which a sanitizer build's start-up would see fail and be
        // unloaded with its blocks still allocated, where the leak check can no longer name it.
        setenv("LIBGL_ALWAYS_SOFTWARE", "1", 1);
        pid_ = start_board_program(TAVIMORO_PLAYER, board_root(), board_path(PLAYER_LOG));
        unsetenv("LIBGL_ALWAYS_SOFTWARE");
        return pid_ > 0;
    }

    // Sends SIGTERM and waits for the player to end: its exit status, or -1 when it was killed
    // or did not end in time.
    int terminate()
    {
        kill(pid_, SIGTERM);
        int status = 0;
        bool ended = board_test::wait_until([&] { return waitpid(pid_, &status, WNOHANG) == pid_; },
                                            std::chrono::duration_cast<std::chrono::milliseconds>(STOP_TIMEOUT));
        if (!ended)
            return -1;
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    ~PlayerProcess()
    {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
    }

private:
    pid_t pid_ = -1;
};

class RealPlayerTest : public vm_test::VmBoardTest {
protected:
    void SetUp() override
    {
        VmBoardTest::SetUp();
        if (IsSkipped())
            return;
        ASSERT_EQ(make_sample_picture(path(BOOT_PICTURE), WIDTH, BAND_HEIGHT, "TAVIMORO ARCADE", 0x2040C0), 0);
        ASSERT_EQ(make_sample_picture(path(GAME_PICTURE), WIDTH, BAND_HEIGHT, "STAR FIGHTER", 0xC02020), 0);
        ASSERT_EQ(make_sample_picture(path(PUSHED_PICTURE), WIDTH, BAND_HEIGHT, "HIGH SCORES", 0x20A040), 0);
    }

    void TearDown() override
    {
        if (HasFailure())
            std::cout << "The player's log:\n" << read_file(PLAYER_LOG);
        VmBoardTest::TearDown();
    }

    // Waits until the scanout shows the picture file at `board_file` in the band; false when it
    // does not in time.
    static bool band_shows(const std::string& board_file, std::chrono::seconds timeout)
    {
        ScreenImage picture;
        if (load_picture(path(board_file), picture) != 0)
            return false;
        for (auto deadline = std::chrono::steady_clock::now() + timeout; std::chrono::steady_clock::now() < deadline;
             std::this_thread::sleep_for(DUMP_INTERVAL)) {
            vm_test::Screen screen;
            if (vm_test::screendump(screen) && screen_shows(as_image(screen), picture, COLOUR_TOLERANCE))
                return true;
        }
        return false;
    }
};

std::string random_bytes(size_t size)
{
    std::mt19937 generator;
    std::string bytes(size, '\0');
    for (char& byte : bytes)
        byte = static_cast<char>(generator());
    return bytes;
}

TEST_F(RealPlayerTest, ShowsWhatTheHostSendsOnTheRealScanoutAndEndsOnSigterm)
{
    PlayerProcess player;
    ASSERT_TRUE(player.start());
    ASSERT_TRUE(band_shows(BOOT_PICTURE, START_TIMEOUT)) << "boot picture";

    board_test::command_result result = vm_test::run_host_tool("info --title 'Star Fighter' --title2 'Star Fighter'");
    ASSERT_EQ(result.status, 0) << result.output;
    EXPECT_TRUE(band_shows(GAME_PICTURE, PICTURE_TIMEOUT)) << "game picture";

    std::string data = random_bytes(FILE_SIZE);
    write_file("/sim/in/game.bin", data);
    result = vm_test::run_host_tool("send --name game.bin " + shell_quote(path("/sim/in/game.bin")));
    EXPECT_EQ(result.status, 0) << result.output;
    EXPECT_EQ(read_file(DISK + "/game.bin"), data);

    result = vm_test::run_host_tool("image --title 'High scores' --name card.png " + shell_quote(path(PUSHED_PICTURE)));
    EXPECT_EQ(result.status, 0) << result.output;
    EXPECT_EQ(read_file("/tmp/card.png"), read_file(PUSHED_PICTURE));
    EXPECT_TRUE(band_shows(PUSHED_PICTURE, PICTURE_TIMEOUT)) << "pushed picture";

    EXPECT_EQ(player.terminate(), 0);
}

} // namespace
