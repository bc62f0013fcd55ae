// Lays out a simulated board root: what the board's kernel and system image would provide.
#include "sim/sim_board.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <system_error>
#include <thread>

namespace fs = std::filesystem;

namespace {

constexpr size_t MISC_PARTITION_SIZE = 48 * 1024;

// Stand-in for df: the free space of /media/NAME is read from ROOT/sim/df/NAME. Shell built-ins
// only, as it runs for every transfer the tests and the fuzz targets make.
constexpr const char* DF_STAND_IN = R"SH(#!/bin/sh
root=${0%/sim/bin/df}
status=0
echo "Filesystem     1K-blocks    Used Available Use% Mounted on"
for p in "$@"; do
  name=${p##*/}
  if [ -f "$root/sim/df/$name" ] && read -r free < "$root/sim/df/$name"; then
    echo "/dev/sim$name $((free * 2)) $free $free 50% $p"
  else
    echo "df: $p: No such file or directory" >&2
    status=1
  fi
done
exit $status
)SH";

// Stand-in for /sbin/reboot: records each run and exits with the status in sim/reboot.status.
constexpr const char* REBOOT_STAND_IN = R"SH(#!/bin/sh
root=$(cd "$(dirname "$0")/.." && pwd)
echo reboot >> "$root/sim/reboot.log"
exit "$(cat "$root/sim/reboot.status" 2>/dev/null || echo 0)"
)SH";

int write_script(const std::string& file, const char* body)
{
    if (write_sim_file(file, body) != 0)
        return -1;
    return chmod(file.c_str(), 0755);
}

} // namespace

int write_sim_file(const std::string& file, const std::string& contents)
{
    std::error_code error;
    fs::create_directories(fs::path(file).parent_path(), error);
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out << contents;
    return out.good() ? 0 : -1;
}

int set_sim_disk_free(const std::string& root, const std::string& disk, long long free_kib)
{
    return write_sim_file(root + "/sim/df/" + disk, std::to_string(free_kib) + "\n");
}

int prepare_board(const std::string& root)
{
    std::error_code error;
    for (const char* dir : {"/media", "/data", "/tmp", "/emulator", "/sim/df", "/rom/vorlix/fonts"}) {
        if (!fs::create_directories(root + dir, error) && error)
            return -1;
    }
    struct File {
        const char* path;
        std::string contents;
    };
    const File files[] = {
        {"/dev/rknand_misc", std::string(MISC_PARTITION_SIZE, '\0')},
        {"/sys/class/drm/card0-HDMI-A-1/status", "connected\n"},
        {"/sys/class/gpio/export", ""},
        {"/sys/class/gpio/gpio1013/direction", "in\n"},
        {"/sys/class/gpio/gpio1013/value", "1\n"},
        {"/sys/class/gpio/gpio1072/direction", "in\n"},
        {"/sys/class/gpio/gpio1072/value", "1\n"},
        {"/sys/devices/platform/10180000.usb/udc/10180000.usb/state", "configured\n"},
        {"/sys/devices/platform/20072000.i2c/i2c-0/0-005a/lt8631ux_oper_channel", ""},
    };
    for (const File& file : files) {
        if (write_sim_file(root + file.path, file.contents) != 0)
            return -1;
    }
    fs::copy_file(SIM_LATIN_FONT, root + "/rom/vorlix/fonts/Futura_Medium.ttf", fs::copy_options::overwrite_existing, error);
    if (error)
        return -1;
    // The font folder's second font, for the glyphs the first lacks; where the package is
    // missing the board shows boxes for them, as a board without it would.
    const fs::path cjk = root + "/rom/vorlix/fonts/" + fs::path(SIM_CJK_FONT).filename().string();
    fs::remove(cjk, error);
    if (fs::exists(SIM_CJK_FONT))
        fs::create_symlink(SIM_CJK_FONT, cjk, error);
    if (write_script(root + "/sim/bin/df", DF_STAND_IN) != 0 || write_script(root + "/sbin/reboot", REBOOT_STAND_IN) != 0)
        return -1;
    if (!fs::create_directories(root + "/media/" + SIM_DEFAULT_DISK, error) && error)
        return -1;
    return set_sim_disk_free(root, SIM_DEFAULT_DISK, SIM_DEFAULT_DISK_FREE_KIB);
}

int start_board_program(const std::string& program, const std::string& root, const std::string& log_file)
{
    pid_t pid = fork();
    if (pid != 0)
        return pid;
    if (!log_file.empty()) {
        int out = open(log_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (out < 0 || dup2(out, STDOUT_FILENO) < 0 || dup2(out, STDERR_FILENO) < 0)
            _exit(126);
    }
    setenv("TAVIMORO_ROOT", root.c_str(), 1);
    const char* path = getenv("PATH");
    setenv("PATH", (root + "/sim/bin:" + (path ? path : "/usr/bin:/bin")).c_str(), 1);
    execl(program.c_str(), program.c_str(), static_cast<char*>(nullptr));
    fprintf(stderr, "cannot start %s: %s\n", program.c_str(), strerror(errno));
    _exit(127);
}

long long process_cpu_ticks(int pid, int thread)
{
    const std::string process = "/proc/" + std::to_string(pid);
    std::ifstream stat(thread > 0 ? process + "/task/" + std::to_string(thread) + "/stat" : process + "/stat");
    std::string line;
    if (!std::getline(stat, line))
        return -1;
    // The command name in parentheses may hold spaces; the fields are counted after it. From the
    // state (field 3), utime and stime are fields 14 and 15.
    size_t name_end = line.rfind(')');
    if (name_end == std::string::npos)
        return -1;
    std::istringstream fields(line.substr(name_end + 1));
    std::string skipped;
    for (int field = 3; field < 14; field++)
        fields >> skipped;
    long long user = 0, system = 0;
    if (!(fields >> user >> system))
        return -1;
    return user + system;
}

std::map<std::string, long long> thread_cpu_ticks(int pid)
{
    std::map<std::string, long long> ticks;
    std::error_code error;
    for (const auto& task : fs::directory_iterator("/proc/" + std::to_string(pid) + "/task", error)) {
        std::ifstream comm(task.path() / "comm");
        std::string name;
        long long used = process_cpu_ticks(pid, std::atoi(task.path().filename().c_str()));
        if (std::getline(comm, name) && used >= 0)
            ticks[name] += used;
    }
    return ticks;
}

std::map<std::string, double> thread_cpu_shares(int pid, const std::map<std::string, long long>& before,
                                                double seconds)
{
    std::map<std::string, double> shares;
    for (const auto& [name, ticks] : thread_cpu_ticks(pid)) {
        const auto was = before.find(name);
        const long long used = ticks - (was == before.end() ? 0 : was->second);
        shares[name] = double(used) / double(sysconf(_SC_CLK_TCK)) / seconds;
    }
    return shares;
}

bool is_stand_in_thread(const std::string& name)
{
    return name.rfind("llvmpipe", 0) == 0 || name == "presenter";
}

double process_cpu_share(int pid, std::chrono::milliseconds interval)
{
    auto started = std::chrono::steady_clock::now();
    long long before = process_cpu_ticks(pid);
    std::this_thread::sleep_for(interval);
    long long after = process_cpu_ticks(pid);
    std::chrono::duration<double> wall = std::chrono::steady_clock::now() - started;
    if (before < 0 || after < 0)
        return -1;
    return double(after - before) / double(sysconf(_SC_CLK_TCK)) / wall.count();
}

int free_tcp_port()
{
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    int port = -1;
    if (fd >= 0 && bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
        getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0)
        port = ntohs(address.sin_port);
    if (fd >= 0)
        close(fd);
    return port;
}
