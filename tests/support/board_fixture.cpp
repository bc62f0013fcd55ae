// Builds the simulated board under the root: sysfs files, USB disks, misc partition, stand-ins.
#include "tests/support/board_fixture.h"

#include "device/board_root.h"

#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

namespace fs = std::filesystem;

namespace board_test {

namespace {

constexpr size_t MISC_PARTITION_SIZE = 48 * 1024;
constexpr const char* SYSTEM_FONT = "/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf";

// Stand-in for df: the free space of /media/NAME is read from ROOT/sim/df/NAME.
constexpr const char* DF_STAND_IN = R"SH(root=$(cd "$(dirname "$0")/../.." && pwd)
status=0
echo "Filesystem     1K-blocks    Used Available Use% Mounted on"
for p in "$@"; do
  f="$root/sim/df/$(basename "$p")"
  if [ -f "$f" ]; then
    free=$(cat "$f")
    echo "/dev/sim$(basename "$p") $((free * 2)) $free $free 50% $p"
  else
    echo "df: $p: No such file or directory" >&2
    status=1
  fi
done
exit $status
)SH";

// Stand-in for /sbin/reboot: records each run and exits with the status the test chose.
constexpr const char* REBOOT_STAND_IN = R"SH(root=$(cd "$(dirname "$0")/.." && pwd)
echo reboot >> "$root/sim/reboot.log"
exit "$(cat "$root/sim/reboot.status" 2>/dev/null || echo 0)"
)SH";

void write_script(std::string_view board, const char* body)
{
    std::string file = board_path(board);
    fs::create_directories(fs::path(file).parent_path());
    std::ofstream(file) << "#!/bin/sh\n" << body;
    chmod(file.c_str(), 0755);
}

void populate()
{
    for (const char* dir : {"/media", "/data", "/tmp", "/emulator", "/sim/df"})
        fs::create_directories(board_path(dir));
    BoardRootTest::write_file("/dev/rknand_misc", std::string(MISC_PARTITION_SIZE, '\0'));
    BoardRootTest::write_file("/sys/class/drm/card0-HDMI-A-1/status", "connected\n");
    BoardRootTest::write_file("/sys/class/gpio/export", "");
    for (const char* gpio : {"/sys/class/gpio/gpio1013", "/sys/class/gpio/gpio1072"}) {
        BoardRootTest::write_file(std::string(gpio) + "/direction", "in\n");
        BoardRootTest::write_file(std::string(gpio) + "/value", "1\n");
    }
    BoardRootTest::write_file("/sys/devices/platform/10180000.usb/udc/10180000.usb/state", "configured\n");
    BoardRootTest::write_file("/sys/devices/platform/20072000.i2c/i2c-0/0-005a/lt8631ux_oper_channel", "");
    fs::create_directories(board_path("/rom/vorlix/fonts"));
    fs::copy_file(SYSTEM_FONT, board_path("/rom/vorlix/fonts/Futura_Medium.ttf"));
    write_script("/sim/bin/df", DF_STAND_IN);
    write_script("/sbin/reboot", REBOOT_STAND_IN);
    BoardRootTest::add_disk(DEFAULT_DISK, DEFAULT_DISK_FREE_KIB);
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
        std::string search = pattern + "/sim/bin:" + (getenv("PATH") ? getenv("PATH") : "/usr/bin:/bin");
        setenv("PATH", search.c_str(), 1);
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
    populate();
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
    std::string file = board_path(board);
    fs::create_directories(fs::path(file).parent_path());
    std::ofstream(file, std::ios::binary) << contents;
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

void BoardRootTest::add_disk(const std::string& name, long free_kib)
{
    make_dir("/media/" + name);
    set_disk_free(name, free_kib);
}

void BoardRootTest::set_disk_free(const std::string& name, long free_kib)
{
    write_file("/sim/df/" + name, std::to_string(free_kib) + "\n");
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
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

} // namespace board_test
