// Board-root fixture: a fresh simulated board for every test, under a root set once per process.
#include "tests/support/board_fixture.h"

#include "core/board_root.h"
#include "sim/sim_board.h"

#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

namespace fs = std::filesystem;

namespace board_test {

namespace {

// Fontconfig's configuration for the tests and every program they start (FONTCONFIG_FILE, set
// with the root): the root's own system fonts, the fonts scripts/setup installs, so that what
// fontconfig picks never depends on what else the machine has.
constexpr const char* FONT_CONFIG = "/sim/fontconfig/fonts.conf";
constexpr const char* SYSTEM_FONTS = "/sim/fonts";

// Laid out with every fresh board, before a test can look a font up: fontconfig reads its
// configuration when first used (and again after FcFini).
int lay_out_system_fonts(const std::string& root)
{
    std::error_code error;
    const fs::path fonts = root + SYSTEM_FONTS;
    fs::create_directories(fonts, error);
    for (const char* font : {SIM_LATIN_FONT, SIM_CJK_FONT}) {
        // A font whose package is missing is missing here too.
        if (!error && fs::exists(font))
            fs::create_symlink(font, fonts / fs::path(font).filename(), error);
    }
    if (error)
        return -1;
    return write_sim_file(root + FONT_CONFIG, "<?xml version=\"1.0\"?>\n"
                                              "<!DOCTYPE fontconfig SYSTEM \"urn:fontconfig:fonts.dtd\">\n"
                                              "<fontconfig>\n  <dir>" + fonts.string() + "</dir>\n  <cachedir>" +
                                              root + "/sim/fontconfig/cache</cachedir>\n</fontconfig>\n");
}

void wipe()
{
    for (const auto& entry : fs::directory_iterator(process_root()))
        fs::remove_all(entry.path());
}

} // namespace

const std::string& process_root()
{
    static const std::string root = [] {
        std::string pattern = (fs::temp_directory_path() / "tavimoro-root-XXXXXX").string();
        if (!mkdtemp(pattern.data()))
            return std::string();
        setenv("TAVIMORO_ROOT", pattern.c_str(), 1);
        // The host tool searches the host's HID devices under ROOT/host, never the machine's own.
        setenv("TAVIMORO_HOST_ROOT", (pattern + "/host").c_str(), 1);
        std::string search = pattern + "/sim/bin:" + (getenv("PATH") ? getenv("PATH") : "/usr/bin:/bin");
        setenv("PATH", search.c_str(), 1);
        setenv("FONTCONFIG_FILE", (pattern + FONT_CONFIG).c_str(), 1);
        unsetenv("FONTCONFIG_SYSROOT");
        return pattern;
    }();
    return root;
}

void BoardRootTest::SetUp()
{
    // Product code must never reach the machine's own /dev, /sys, /media or /data.
    if (process_root().empty() || board_root() != process_root())
        GTEST_FAIL() << "refusing to run: the board root is not set to a temporary directory";
    wipe();
    if (prepare_board(process_root()) != 0 || lay_out_system_fonts(process_root()) != 0)
        GTEST_FAIL() << "cannot lay out the simulated board under " << process_root();
}

void BoardRootTest::TearDown()
{
    if (!process_root().empty() && board_root() == process_root())
        wipe();
}

std::string BoardRootTest::path(std::string_view board)
{
    return board_path(board);
}

void BoardRootTest::write_file(std::string_view board, std::string_view contents)
{
    ASSERT_EQ(write_sim_file(board_path(board), std::string(contents)), 0) << board;
}

std::string BoardRootTest::read_file(std::string_view board)
{
    std::ifstream in(board_path(board), std::ios::binary);
    std::ostringstream contents;
    contents << in.rdbuf();
    return contents.str();
}

void BoardRootTest::make_dir(std::string_view board)
{
    fs::create_directories(board_path(board));
}

void BoardRootTest::remove(std::string_view board)
{
    fs::remove_all(board_path(board));
}

void BoardRootTest::add_disk(const std::string& name, long long free_kib)
{
    make_dir("/media/" + name);
    set_disk_free(name, free_kib);
}

void BoardRootTest::set_disk_free(const std::string& name, long long free_kib)
{
    ASSERT_EQ(set_sim_disk_free(process_root(), name, free_kib), 0) << name;
}

int BoardRootTest::reboot_runs()
{
    std::string log = read_file("/sim/reboot.log");
    int runs = 0;
    for (char c : log)
        runs += c == '\n';
    return runs;
}

void BoardRootTest::set_reboot_status(int status)
{
    write_file("/sim/reboot.status", std::to_string(status) + "\n");
}

bool wait_until(const std::function<bool()>& condition, std::chrono::milliseconds timeout)
{
    auto deadline = std::chrono::steady_clock::now() + slow_build_bound(timeout);
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

command_result run_command(const std::string& command)
{
    FILE* pipe = popen((command + " 2>&1").c_str(), "r");
    if (!pipe)
        return {-1, ""};
    std::string output;
    char buffer[256];
    for (size_t length; (length = fread(buffer, 1, sizeof buffer, pipe)) > 0;)
        output.append(buffer, length);
    int status = pclose(pipe);
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, output};
}

} // namespace board_test
