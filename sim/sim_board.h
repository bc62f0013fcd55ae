// The simulated board: the files and stand-ins a board root needs, shared by tests and simulator.
#pragma once

#include <chrono>
#include <map>
#include <string>

// Name and free space of the USB disk every simulated board starts with.
inline constexpr const char* SIM_DEFAULT_DISK = "usbhd-sda1";
inline constexpr long SIM_DEFAULT_DISK_FREE_KIB = 4L * 1024 * 1024;
// The font the board's font is a copy of (Debian's fonts-dejavu-core).
inline constexpr const char* SIM_LATIN_FONT = "/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf";
// A font with Chinese, Japanese and Korean glyphs (Debian's fonts-wqy-microhei), linked into the
// board's font folder beside the board's font.
inline constexpr const char* SIM_CJK_FONT = "/usr/share/fonts/truetype/wqy/wqy-microhei.ttc";

// Lays out a board under `root`: sysfs files (HDMI connector connected, GPIOs released, USB
// controller configured), an empty misc partition, /media with the default disk, /data, /tmp,
// /emulator, the font and the CJK font, and stand-ins for /sbin/reboot and for df (ROOT/sim/bin/df, to be put
// first on PATH). Existing files are replaced; 0, or -1 when something cannot be made.
int prepare_board(const std::string& root);

// Sets the free space that the df stand-in reports for /media/<disk>.
int set_sim_disk_free(const std::string& root, const std::string& disk, long long free_kib);

// A TCP port on loopback that nothing listens on now (for a service a test or bench starts); -1
// when none can be had.
int free_tcp_port();

// Writes `contents` to `file`, making its directories first; 0 or -1.
int write_sim_file(const std::string& file, const std::string& contents);

// Starts `program` as it runs on the simulated board under `root`: TAVIMORO_ROOT names the root
// and the root's stand-ins come first on PATH. With a `log_file`, its standard output and error
// go there. The child's pid, or -1.
int start_board_program(const std::string& program, const std::string& root, const std::string& log_file = "");

// User plus system time of `pid` so far in clock ticks, from /proc/PID/stat, or of its thread
// `thread` alone; -1 when unreadable.
long long process_cpu_ticks(int pid, int thread = 0);

// Processor time so far of the process's threads, in clock ticks, by thread name (threads of one
// name added up).
std::map<std::string, long long> thread_cpu_ticks(int pid);

// Each thread's share of a core over the `seconds` since `before` was taken with thread_cpu_ticks.
std::map<std::string, double> thread_cpu_shares(int pid, const std::map<std::string, long long>& before,
                                                double seconds);

// Mesa's llvmpipe threads and the virtual output's presenter stand in for the GPU and the
// scan-out, which a board does in hardware: what a process's other threads take is what the
// board's processor would run.
bool is_stand_in_thread(const std::string& name);

// The processor time the process `pid` uses over the next `interval` (user and system time, as
// the kernel accounts it, whatever else the machine runs), as a share of one core: 0.03 is 3 %.
// -1 when the process cannot be read.
double process_cpu_share(int pid, std::chrono::milliseconds interval);
