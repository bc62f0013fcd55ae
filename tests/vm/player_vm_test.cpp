// The player program on the real KMS card and the real USB HID gadget, driven by tavimoro-host
// through real hidraw: the boot picture and a named game's picture reach the scanout, a file is
// stored byte for byte, a pushed picture is shown, and SIGTERM ends the player cleanly.
#include "tests/vm/vm_board.h"

#include "device/board_root.h"
#include "tools/sample_media.h"
#include "tools/sim_board.h"

#include <SDL.h>
#include <SDL_image.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <iostream>
#include <memory>
#include <random>
#include <sstream>
#include <thread>

namespace {

using namespace std::chrono_literals;

constexpr int WIDTH = vm_test::SCREEN_WIDTH;
constexpr int HEIGHT = vm_test::SCREEN_HEIGHT;
constexpr int BAND_HEIGHT = 360;
// The first picture waits for the whole start-up, display bring-up included, under emulation.
constexpr auto START_TIMEOUT = 90s;
constexpr auto PICTURE_TIMEOUT = 45s;
constexpr auto STOP_TIMEOUT = 30s;
// A dump costs the guest a 6 MB read: look every second rather than take the player's processors.
constexpr auto DUMP_INTERVAL = 1s;
constexpr size_t FILE_SIZE = 30001;

const std::string DISK = std::string("/media/") + SIM_DEFAULT_DISK;
const std::string BOOT_PICTURE = DISK + "/vorlix/.assets/vorlix-boot.png";
const std::string GAME_PICTURE = DISK + "/vorlix/vorlix/star fighter.png";
const std::string PUSHED_PICTURE = "/sim/in/high scores.png";
constexpr const char* PLAYER_LOG = "/sim/player.log";

struct SurfaceDeleter {
    void operator()(SDL_Surface* surface) const { SDL_FreeSurface(surface); }
};
using Surface = std::unique_ptr<SDL_Surface, SurfaceDeleter>;

// A picture as decoded on this side, 3 bytes a pixel in R, G, B order.
Surface load_rgb(const std::string& file)
{
    Surface decoded(IMG_Load(file.c_str()));
    return Surface(decoded ? SDL_ConvertSurfaceFormat(decoded.get(), SDL_PIXELFORMAT_RGB24, 0) : nullptr);
}

uint32_t pixel(const SDL_Surface* picture, int x, int y)
{
    const auto* p = static_cast<const uint8_t*>(picture->pixels) + y * picture->pitch + x * 3;
    return uint32_t(p[0]) << 16 | uint32_t(p[1]) << 8 | p[2];
}

// Where the screen differs from a full-band `picture` over black; empty when it shows it.
std::string difference(const vm_test::Screen& screen, const SDL_Surface* picture)
{
    if (screen.width != WIDTH || screen.height != HEIGHT)
        return "a " + std::to_string(screen.width) + "x" + std::to_string(screen.height) + " scanout";
    std::ostringstream out;
    out << std::hex;
    // Corners, edges and the caption's middle of the band, and rows below it.
    for (int x : {0, 7, WIDTH / 4, WIDTH / 2, WIDTH - 1}) {
        for (int y : {0, 11, BAND_HEIGHT / 2, BAND_HEIGHT - 1}) {
            if (screen.pixel(x, y) != pixel(picture, x, y))
                out << " (" << std::dec << x << "," << y << std::hex << ") " << screen.pixel(x, y) << " not "
                    << pixel(picture, x, y) << ";";
        }
        for (int y : {BAND_HEIGHT, HEIGHT - 1}) {
            if (screen.pixel(x, y) != 0)
                out << " (" << std::dec << x << "," << y << std::hex << ") " << screen.pixel(x, y) << " not black;";
        }
    }
    return out.str();
}

// The player program, started on the board root as the board would start it.
class PlayerProcess {
public:
    bool start()
    {
        std::string log = board_path(PLAYER_LOG);
        pid_ = fork();
        if (pid_ == 0) {
            int out = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
            if (out < 0 || dup2(out, STDOUT_FILENO) < 0 || dup2(out, STDERR_FILENO) < 0)
                _exit(127);
            // The board root and the stand-ins on PATH are already this process's (see the support main).
            execl(TAVIMORO_PLAYER, TAVIMORO_PLAYER, static_cast<char*>(nullptr));
            _exit(127);
        }
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

    // Waits until the scanout shows `picture` in the band; the last difference seen when it does not.
    static std::string wait_for_picture(const std::string& picture, std::chrono::seconds timeout)
    {
        Surface expected = load_rgb(path(picture));
        if (!expected)
            return "cannot load " + picture;
        std::string last = "no screen dump";
        for (auto deadline = std::chrono::steady_clock::now() + timeout; std::chrono::steady_clock::now() < deadline;
             std::this_thread::sleep_for(DUMP_INTERVAL)) {
            vm_test::Screen screen;
            if (vm_test::screendump(screen))
                last = difference(screen, expected.get());
            if (last.empty())
                break;
        }
        return last;
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
    ASSERT_EQ(wait_for_picture(BOOT_PICTURE, START_TIMEOUT), "") << "boot picture";

    board_test::command_result result = vm_test::run_host_tool("info --title 'Star Fighter' --title2 'Star Fighter'");
    ASSERT_EQ(result.status, 0) << result.output;
    EXPECT_EQ(wait_for_picture(GAME_PICTURE, PICTURE_TIMEOUT), "") << "game picture";

    std::string data = random_bytes(FILE_SIZE);
    write_file("/sim/in/game.bin", data);
    result = vm_test::run_host_tool("send --name game.bin " + shell_quote(path("/sim/in/game.bin")));
    EXPECT_EQ(result.status, 0) << result.output;
    EXPECT_EQ(read_file(DISK + "/game.bin"), data);

    result = vm_test::run_host_tool("image --title 'High scores' --name card.png " + shell_quote(path(PUSHED_PICTURE)));
    EXPECT_EQ(result.status, 0) << result.output;
    EXPECT_EQ(read_file("/tmp/card.png"), read_file(PUSHED_PICTURE));
    EXPECT_EQ(wait_for_picture(PUSHED_PICTURE, PICTURE_TIMEOUT), "") << "pushed picture";

    EXPECT_EQ(player.terminate(), 0);
}

} // namespace
