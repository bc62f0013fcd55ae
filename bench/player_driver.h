// What the player benchmarks share: the real player in a temporary board root with the sample
// media, its USB link relayed to the host socket, driven by the host tool.
#pragma once

#include "sim/screen_capture.h"
#include "sim/sim_relay.h"

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

namespace player_bench {

using Clock = std::chrono::steady_clock;

double ms_since(Clock::time_point start);

// A board root laid out with the sample media, the link relayed on a thread of its own; the
// player is started with start_player and ended (SIGTERM) and the root removed when it goes.
class Bench {
public:
    // 0, or -1 with the reason printed.
    int open(const char* who);
    ~Bench();

    int start_player();
    // SIGTERM, then the player's exit status (-1 when it did not exit normally).
    int stop_player();

    // Runs tavimoro-host with `arguments` (shell words) on the host socket: its exit status.
    int host(const std::string& arguments) const;
    // Waits until the screen shows the picture file (whole, top-left); false after a time-out.
    bool wait_for_picture(const std::string& file) const;
    // The same for a picture already read (a screen captured before).
    bool wait_for_screen(const ScreenImage& picture) const;
    // The player's log, and a wait for `trace` in it after its first `from` bytes.
    std::string player_log() const;
    bool wait_for_trace(const std::string& trace, size_t from) const;

    std::string root;
    std::string product;  // the sample disk's product directory
    std::string bin;      // where the programs are
    pid_t player = 0;

private:
    SimRelay relay_;
    std::atomic<bool> stop_{false};
    std::thread relaying_;
};

// A field of /proc/PID/status as a number ("VmRSS" in KiB, "Threads"); -1 when unreadable.
long process_status(pid_t pid, const char* field);
// The open descriptors of `pid`; -1 when unreadable.
long open_descriptors(pid_t pid);
void print_load(const char* when);
// Median and spread of `figures` (milliseconds), sorted in place.
void print_spread(const char* what, std::vector<double>& figures);

} // namespace player_bench
