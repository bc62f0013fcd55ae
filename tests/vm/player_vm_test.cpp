// The player program on the real KMS card and the real USB HID gadget, driven by tavimoro-host
// through real hidraw: the boot picture and a named game's picture reach the scanout, a file is
// stored byte for byte, a pushed picture is shown, and SIGTERM ends the player cleanly. Then the
// installed tree on the board: its gadget script and init script bring the player up, and the
// init script's supervisor brings it back after a SIGKILL.
#include "tests/vm/vm_board.h"

#include "core/board_root.h"
#include "sim/sample_media.h"
#include "sim/screen_capture.h"
#include "sim/sim_board.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
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
// How long the host side takes to see the gadget again after it was made anew.
constexpr auto HIDRAW_TIMEOUT = 20s;
// A stop waits for the player's clean end; the init script kills it after 30 s.
constexpr auto INIT_STOP_TIMEOUT = 40s;
// The gadget's identity as the host sees it (usb-identity.conf): bus USB, vendor, product.
constexpr const char* HID_ID = "HID_ID=0003:00001209:00000001";

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

// Runs an installed board script with its arguments; the board root stays in the environment.
board_test::command_result run_installed(const std::string& script, const std::string& args)
{
    return board_test::run_command(shell_quote(script) + " " + args);
}

// The live pid in the init script's pid file for the player, or 0.
pid_t running_player()
{
    std::ifstream file(TAVIMORO_PLAYER_PIDFILE);
    pid_t pid = 0;
    return file >> pid && pid > 0 && kill(pid, 0) == 0 ? pid : 0;
}

// What the host sees of the gadget's link: the HID id line of its hidraw node's device.
std::string link_hid_id()
{
    std::string node = vm_test::hidraw_node();
    if (node.empty())
        return "";
    std::ifstream uevent("/sys/class/hidraw/" + std::filesystem::path(node).filename().string() + "/device/uevent");
    for (std::string line; std::getline(uevent, line);)
        if (line.rfind("HID_ID=", 0) == 0)
            return line;
    return "";
}

// Stops the installed player however the test ends.
struct InitStop {
    ~InitStop() { run_installed(TAVIMORO_INIT_SCRIPT, "stop"); }
};

TEST_F(RealPlayerTest, InstalledGadgetAndInitScriptsBringThePlayerUpAndBackAfterSigkill)
{
    // Installed into the VM's throw-away overlay, where the board has it.
    board_test::command_result result = board_test::run_command("cmake --install " TAVIMORO_BUILD_DIR " --component board");
    ASSERT_EQ(result.status, 0) << result.output;
    if (!std::filesystem::exists(TAVIMORO_INIT_SCRIPT))
        GTEST_SKIP() << "this build installs no BusyBox init script (TAVIMORO_INIT)";
    // The board's configfs and controllers, and the player on this board root.
    for (const char* dir : {"/sys/kernel/config", "/sys/class/udc"}) {
        std::filesystem::create_directories(std::filesystem::path(path(dir)).parent_path());
        std::filesystem::create_symlink(dir, path(dir));
    }
    std::filesystem::create_directories(std::filesystem::path(TAVIMORO_DEFAULTS).parent_path());
    std::ofstream(TAVIMORO_DEFAULTS) << "TAVIMORO_ROOT=" << board_root() << "\nTAVIMORO_LOG=" << path(PLAYER_LOG)
                                     << "\nLIBGL_ALWAYS_SOFTWARE=1\n";

    // From cold: the installed gadget script takes the bench's gadget away, the init script makes it again.
    result = run_installed(TAVIMORO_GADGET_SCRIPT, "stop");
    ASSERT_EQ(result.status, 0) << result.output;
    EXPECT_FALSE(std::filesystem::exists("/dev/hidg1"));
    result = run_installed(TAVIMORO_GADGET_SCRIPT, "stop");
    EXPECT_EQ(result.status, 0) << "a second stop: " << result.output;

    InitStop stop_at_end;
    auto started = std::chrono::steady_clock::now();
    result = run_installed(TAVIMORO_INIT_SCRIPT, "start");
    ASSERT_EQ(result.status, 0) << result.output;
    EXPECT_TRUE(std::filesystem::exists("/dev/hidg1"));
    EXPECT_TRUE(board_test::wait_until([] { return !link_hid_id().empty(); }, HIDRAW_TIMEOUT));
    EXPECT_EQ(link_hid_id(), HID_ID);
    ASSERT_TRUE(band_shows(BOOT_PICTURE, START_TIMEOUT)) << "boot picture";
    std::cout << "init script start to the boot picture: "
              << std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count() << " s\n";

    result = run_installed(TAVIMORO_INIT_SCRIPT, "status");
    EXPECT_EQ(result.status, 0) << result.output;
    pid_t first = running_player();
    ASSERT_GT(first, 0);
    result = vm_test::run_host_tool("info --title 'Star Fighter' --title2 'Star Fighter'");
    ASSERT_EQ(result.status, 0) << result.output;
    EXPECT_TRUE(band_shows(GAME_PICTURE, PICTURE_TIMEOUT)) << "game picture";

    // Starting the gadget again changes nothing under the running player.
    result = run_installed(TAVIMORO_GADGET_SCRIPT, "start");
    EXPECT_EQ(result.status, 0) << result.output;
    EXPECT_NE(result.output.find("already started"), std::string::npos) << result.output;
    EXPECT_EQ(running_player(), first);

    auto killed = std::chrono::steady_clock::now();
    ASSERT_EQ(kill(first, SIGKILL), 0);
    EXPECT_TRUE(board_test::wait_until([&] { return running_player() != 0 && running_player() != first; },
                                       std::chrono::duration_cast<std::chrono::milliseconds>(STOP_TIMEOUT)))
        << "no new player";
    ASSERT_TRUE(band_shows(BOOT_PICTURE, START_TIMEOUT)) << "boot picture after the SIGKILL";
    std::cout << "SIGKILL to the boot picture again: "
              << std::chrono::duration<double>(std::chrono::steady_clock::now() - killed).count() << " s\n";
    result = vm_test::run_host_tool("state");
    EXPECT_EQ(result.status, 0) << "the host reaches the new player: " << result.output;

    pid_t second = running_player();
    auto stopping = std::chrono::steady_clock::now();
    result = run_installed(TAVIMORO_INIT_SCRIPT, "stop");
    EXPECT_EQ(result.status, 0) << result.output;
    EXPECT_LT(std::chrono::steady_clock::now() - stopping, INIT_STOP_TIMEOUT);
    EXPECT_NE(kill(second, 0), 0) << "the player still runs after stop";
    result = run_installed(TAVIMORO_INIT_SCRIPT, "status");
    EXPECT_EQ(result.status, 3) << result.output;
    std::string log = read_file(PLAYER_LOG);
    EXPECT_NE(log.find("ended with status 137; starting it again"), std::string::npos) << log;
    EXPECT_NE(log.find("main while exit"), std::string::npos) << "no clean end on stop:\n" << log;
}

} // namespace
