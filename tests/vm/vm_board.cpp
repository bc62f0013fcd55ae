// The bench VM's board root and its host-side screen dumps.
#include "tests/vm/vm_board.h"

#include "core/board_root.h"
#include "sim/sim_board.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>

namespace fs = std::filesystem;

namespace vm_test {

namespace {

// The host link's interface number, as sysfs writes it.
constexpr const char* LINK_INTERFACE = "01";
constexpr auto SCREENDUMP_TIMEOUT = std::chrono::seconds(30);
constexpr auto PLAYER_STOP_TIMEOUT = std::chrono::milliseconds(30000);
// Seconds the host tool waits for each answer: the board side runs under emulation.
constexpr int HOST_TOOL_TIMEOUT = 20;

std::string env(const char* name)
{
    const char* value = getenv(name);
    return value ? value : "";
}

void link_real(std::string_view board, const std::string& real)
{
    std::string link = board_path(board);
    fs::create_directories(fs::path(link).parent_path());
    fs::remove(link);
    fs::create_symlink(real, link);
}

// Reads a binary PPM (P6, 8 bits a channel) as QEMU writes it.
bool read_ppm(const std::string& file, Screen& screen)
{
    std::ifstream in(file, std::ios::binary);
    std::string magic;
    int max_value = 0;
    in >> magic >> screen.width >> screen.height >> max_value;
    in.get();
    if (!in || magic != "P6" || max_value != 255 || screen.width <= 0 || screen.height <= 0)
        return false;
    screen.rgb.resize(size_t(screen.width) * size_t(screen.height) * 3);
    in.read(reinterpret_cast<char*>(screen.rgb.data()), std::streamsize(screen.rgb.size()));
    return bool(in);
}

} // namespace

std::string hidraw_node()
{
    // Looked up each time: a test that makes the gadget again gets a new node.
    std::error_code error;
    for (const auto& entry : fs::directory_iterator("/sys/class/hidraw", error)) {
        std::ifstream interface(entry.path() / "device/../bInterfaceNumber");
        std::string number;
        std::string node = "/dev/" + entry.path().filename().string();
        if (interface >> number && number == LINK_INTERFACE && fs::exists(node))
            return node;
    }
    return "";
}

std::string gadget_dir()
{
    return env("TAVIMORO_VM_GADGET");
}

bool in_vm()
{
    return !env("TAVIMORO_VM").empty();
}

void link_real_nodes()
{
    link_real("/dev/dri/card0", "/dev/dri/card0");
    link_real("/dev/hidg1", "/dev/hidg1");
    link_real(UDC_STATE, env("TAVIMORO_VM_UDC_STATE"));
}

void VmBoardTest::SetUp()
{
    if (!in_vm())
        GTEST_SKIP() << OUTSIDE_VM;
    BoardRootTest::SetUp();
    link_real_nodes();
}

uint32_t Screen::pixel(int x, int y) const
{
    const uint8_t* p = &rgb[(size_t(y) * size_t(width) + size_t(x)) * 3];
    return uint32_t(p[0]) << 16 | uint32_t(p[1]) << 8 | p[2];
}

bool screendump(Screen& screen)
{
    // The host serves requests left in the exchange folder (see run-in-vm).
    static std::atomic<int> serial = 0;
    std::string name = env("TAVIMORO_VM_SHARE") + "/screendump." + std::to_string(getpid()) + "-" +
                       std::to_string(serial++);
    std::ofstream(name + ".request").close();
    std::string dump = name + ".ppm";
    bool answered = board_test::wait_until(
        [&] { return fs::exists(dump) || fs::exists(name + ".failed"); }, SCREENDUMP_TIMEOUT);
    bool ok = answered && read_ppm(dump, screen);
    std::error_code ignored;
    fs::remove(dump, ignored);
    fs::remove(name + ".failed", ignored);
    return ok;
}

bool PlayerProcess::start()
{
    // The card has no 3D, so Mesa draws in software either way; asked for it at once, Mesa skips
    // probing the card's own driver, which a sanitizer build's start-up would see fail and be
    // unloaded with its blocks still allocated, where the leak check can no longer name it.
    setenv("LIBGL_ALWAYS_SOFTWARE", "1", 1);
    pid_ = start_board_program(program_, board_root(), board_path(PLAYER_LOG));
    unsetenv("LIBGL_ALWAYS_SOFTWARE");
    return pid_ > 0;
}

int PlayerProcess::terminate()
{
    kill(pid_, SIGTERM);
    int status = 0;
    bool ended = board_test::wait_until([&] { return waitpid(pid_, &status, WNOHANG) == pid_; }, PLAYER_STOP_TIMEOUT);
    if (!ended)
        return -1;
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

PlayerProcess::~PlayerProcess()
{
    if (pid_ > 0) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
}

board_test::command_result run_host_tool(const std::string& args)
{
    return board_test::run_command(std::string(TAVIMORO_HOST_TOOL) + " --timeout " + std::to_string(HOST_TOOL_TIMEOUT) +
                                   " --device " + hidraw_node() + " " + args);
}

} // namespace vm_test
