// Soak benchmark: the real player on a simulated board, driven by the host tool through game
// switches, file transfers, packages and pushed pictures in compressed time, with the USB disk
// removed and put back (some of the times in the middle of a transfer), the screen turned off and
// on (USB controller state), the HDMI mode input flipped and playback signals (SIGUSR2 values,
// SIGUSR1). Prints the player's resident memory, open descriptors and threads at the start and
// at the end, and the worst switch times. Fails when memory grows by more than 2 MiB (or KIB), the
// descriptors or threads differ, a reply is lost, or the player crashes or ends badly.
//
//   soak_bench [--short] [--switches N] [--files N] [--packages N] [--pictures N] [--removals N]
//              [--max-growth KIB]
#include "bench/player_driver.h"
#include "sim/sim_board.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <future>
#include <string>

namespace fs = std::filesystem;
using namespace player_bench;

namespace {

struct Counts {
    long switches = 10000, files = 1000, packages = 100, pictures = 100, removals = 50;
    long max_growth_kib = 2048;
};
// Enough of everything for a test run of well under a minute.
constexpr Counts SHORT_COUNTS = {300, 30, 6, 6, 4, 2048};
// Before the first figures, some of every kind of work, every kind of signal and both kinds of
// removal: the first of each loads what the player keeps for good (caches, plugins, the font),
// and the allocator's arenas reach their working size within the first few hundred switches.
constexpr Counts WARM_UP = {300, 3, 2, 2, 2, 0};
// The host tool's status when the board did not answer (or the link failed).
constexpr int HOST_NO_ANSWER = 3;
// Every this many switches, one screen, HDMI-mode or playback signal.
constexpr long SIGNAL_EVERY = 25;
// Every this many switches, the switch is timed to the game's picture on screen, when the screen
// has been on long enough for the event monitor (1.5 s period) to have seen it.
constexpr long SAMPLE_EVERY = 100;
constexpr auto SCREEN_SETTLE = std::chrono::milliseconds(2000);
constexpr auto STILL_SETTLE = std::chrono::milliseconds(1500);
// A transfer the disk is taken from: long enough (64-byte reports) to be caught in the middle.
constexpr size_t LONG_FILE_BYTES = 400 * 1024;
constexpr auto REMOVAL_DELAY = std::chrono::milliseconds(150);
constexpr const char* UDC_STATE = "/sys/devices/platform/10180000.usb/udc/10180000.usb/state";
constexpr const char* HDMI_MODE = "/sys/class/gpio/gpio1013/value";

struct Game {
    const char* arguments;
    const char* picture;  // under the product directory
};
const Game GAMES[] = {
    {"--title 'Star Fighter' --title2 'Star Fighter'", "/vorlix/star fighter.png"},
    {"--title 'Pixel Quest' --title2 'Pixel Quest' --romname PQUEST", "/thirdparty/arcade/pquest.png"},
};
constexpr const char* OTHER_GAMES[] = {"--title 'Road Racer' --title2 'Road Racer'",
                                       "--title 'Galaxy Golf' --title2 'Galaxy Golf'"};
// A picture without a video, shown still: the same state for the figures at the start and end.
constexpr const char* STILL_GAME = "--title 'Moon Miner' --title2 'Moon Miner'";
constexpr const char* STILL_TRACE = "banner_proc: image start , ";

struct Figures {
    long rss_kib, fds, threads;
};

struct Soak {
    Bench& bench;
    Counts counts;
    long lost = 0, refused = 0, signals = 0;
    // How the transfers the disk was taken from were answered: a failure, or a success (the
    // player's file was open and the whole file reached it).
    long removal_failed = 0, removal_stored = 0;
    double worst_reply_ms = 0, worst_screen_ms = 0;
    long screen_samples = 0;
    bool screen_on = true;
    Clock::time_point screen_on_since = Clock::now();

    // Runs the host tool; counts a lost reply, and a refusal unless `may_refuse`.
    int host(const std::string& arguments, bool may_refuse = false)
    {
        int status = bench.host(arguments);
        if (status == HOST_NO_ANSWER || status < 0) {
            lost++;
            fprintf(stderr, "soak_bench: no answer to: %s\n", arguments.c_str());
        } else if (status != 0 && !may_refuse) {
            refused++;
            fprintf(stderr, "soak_bench: refused (%d): %s\n", status, arguments.c_str());
        }
        return status;
    }

    void switch_game(long i)
    {
        const Game& game = GAMES[i % 2];
        bool sample = i % SAMPLE_EVERY == 0 && screen_on && Clock::now() - screen_on_since > SCREEN_SETTLE;
        Clock::time_point sent = Clock::now();
        host("info " + std::string(i % 5 == 4 ? OTHER_GAMES[i / 5 % 2] : game.arguments));
        worst_reply_ms = std::max(worst_reply_ms, ms_since(sent));
        if (sample && i % 5 != 4) {
            sent = Clock::now();
            if (!bench.wait_for_picture(bench.product + game.picture))
                fprintf(stderr, "soak_bench: %s did not appear\n", game.picture);
            worst_screen_ms = std::max(worst_screen_ms, ms_since(sent));
            screen_samples++;
        }
    }

    std::string disk() const { return bench.root + "/media/" + SIM_DEFAULT_DISK; }
    std::string away() const { return bench.root + "/sim/" + SIM_DEFAULT_DISK + ".away"; }

    // Takes the disk away and puts it back; in the middle of a long transfer when `mid_transfer`.
    void remove_disk(long n, bool mid_transfer)
    {
        std::future<int> transfer;
        if (mid_transfer) {
            transfer = std::async(std::launch::async, [this, n] {
                return bench.host("send '" + bench.root + "/sim/long.bin' --name 'long " + std::to_string(n % 3) + ".bin'");
            });
            std::this_thread::sleep_for(REMOVAL_DELAY);
        }
        fs::rename(disk(), away());
        if (mid_transfer) {
            int status = transfer.get();
            if (status == HOST_NO_ANSWER || status < 0)
                lost++;
            else
                (status == 0 ? removal_stored : removal_failed)++;
        }
        fs::rename(away(), disk());
    }

    // One of: the screen off or on again, the HDMI mode flipped, a playback signal.
    void signal(long n)
    {
        switch (n % 4) {
        case 0:
            screen_on = !screen_on;
            write_sim_file(bench.root + UDC_STATE, screen_on ? "configured\n" : "suspended\n");
            screen_on_since = Clock::now();
            break;
        case 1:
            write_sim_file(bench.root + HDMI_MODE, n % 8 == 1 ? "0\n" : "1\n");
            break;
        case 2: {
            // Pause, play, and a value that does nothing.
            static constexpr int VALUES[] = {5, 4, 1};
            sigval value{};
            value.sival_int = VALUES[n / 4 % 3];
            sigqueue(bench.player, SIGUSR2, value);
            break;
        }
        default:
            kill(bench.player, SIGUSR1);
        }
        signals++;
    }

    // Whether switch `i` of `total_switches` is followed by one of `count` pieces of a kind of
    // work, spread evenly over the run.
    static bool due(long i, long total_switches, long count)
    {
        return count > 0 && (i * count) / total_switches != ((i + 1) * count) / total_switches;
    }

    void step(long i)
    {
        switch_game(i);
        long n = counts.switches;
        if (due(i, n, counts.files))
            host("send '" + bench.root + "/sim/small.bin' --name 'soak " + std::to_string(i % 10) + ".bin'");
        if (due(i, n, counts.packages))
            host("package '" + bench.root + "/sim/soak.zip' --name soak.zip");
        if (due(i, n, counts.pictures))
            host("image '" + bench.product + "/vorlix/star fighter.png' --title 'Pushed " + std::to_string(i) + "'");
        if (due(i, n, counts.removals))
            remove_disk(i, (i + 1) * counts.removals / n % 2 == 0);
        if (i % SIGNAL_EVERY == SIGNAL_EVERY - 1)
            signal(i / SIGNAL_EVERY);
    }

    // The player's figures with the screen on and a still picture up.
    int figures(Figures& out)
    {
        if (!screen_on)
            signal(0);
        write_sim_file(bench.root + UDC_STATE, "configured\n");
        std::this_thread::sleep_for(SCREEN_SETTLE);
        size_t from = bench.player_log().size();
        // A whole transfer first: one the disk was taken from holds its file until the next.
        if (host("send '" + bench.root + "/sim/small.bin' --name figures.bin") != 0 ||
            host("info " + std::string(STILL_GAME)) != 0 || !bench.wait_for_trace(STILL_TRACE, from))
            return -1;
        std::this_thread::sleep_for(STILL_SETTLE);
        out = {process_status(bench.player, "VmRSS"), open_descriptors(bench.player),
               process_status(bench.player, "Threads")};
        return out.rss_kib < 0 || out.fds < 0 || out.threads < 0 ? -1 : 0;
    }
};

int parse(int argc, char** argv, Counts& counts)
{
    for (int i = 1; i < argc; i++) {
        std::string arg = argv[i];
        long* target = arg == "--switches" ? &counts.switches
                     : arg == "--files"    ? &counts.files
                     : arg == "--packages" ? &counts.packages
                     : arg == "--pictures" ? &counts.pictures
                     : arg == "--removals" ? &counts.removals
                     : arg == "--max-growth" ? &counts.max_growth_kib
                                           : nullptr;
        if (arg == "--short")
            counts = SHORT_COUNTS;
        else if (target && i + 1 < argc && (*target = strtol(argv[++i], nullptr, 10)) >= 0)
            continue;
        else {
            fprintf(stderr, "usage: soak_bench [--short] [--switches N] [--files N] [--packages N] [--pictures N] "
                            "[--removals N] [--max-growth KIB]\n");
            return -1;
        }
    }
    return counts.switches > 0 ? 0 : -1;
}

// The soak's inputs: a small file, a long one, and a package of two media files.
int make_inputs(const Bench& bench)
{
    std::string sim = bench.root + "/sim";
    if (write_sim_file(sim + "/small.bin", std::string(4096, 's')) != 0 ||
        write_sim_file(sim + "/long.bin", std::string(LONG_FILE_BYTES, 'l')) != 0 ||
        write_sim_file(sim + "/package/soak/a.txt", std::string(20000, 'a')) != 0 ||
        write_sim_file(sim + "/package/soak/b.txt", std::string(30000, 'b')) != 0)
        return -1;
    std::string command = "cd '" + sim + "/package' && zip -q -r ../soak.zip soak";
    return system(command.c_str()) == 0 ? 0 : -1;
}

int run(Bench& bench, const Counts& counts)
{
    print_load("at the start");
    if (make_inputs(bench) != 0 || bench.start_player() != 0 ||
        !bench.wait_for_picture(bench.product + "/.assets/vorlix-boot.png")) {
        fprintf(stderr, "soak_bench: the player did not start\n");
        return 1;
    }
    Soak soak{bench, WARM_UP};
    for (long i = 0; i < WARM_UP.switches; i++)
        soak.step(i);
    soak.counts = counts;
    Figures start{}, end{};
    if (soak.figures(start) != 0) {
        fprintf(stderr, "soak_bench: no figures at the start\n");
        return 1;
    }
    Clock::time_point began = Clock::now();
    for (long i = 0; i < counts.switches && kill(bench.player, 0) == 0; i++)
        soak.step(i);
    double seconds = ms_since(began) / 1000;
    bool alive = kill(bench.player, 0) == 0 && waitpid(bench.player, nullptr, WNOHANG) == 0;
    if (!alive || soak.figures(end) != 0) {
        fprintf(stderr, "soak_bench: the player died during the soak\n");
        return 1;
    }
    printf("soak: %ld switches, %ld file transfers, %ld packages, %ld pushed pictures, %ld disk removals (half of "
           "them in the middle of a transfer), %ld screen, HDMI-mode and playback signals in %.0f s\n",
           counts.switches, counts.files, counts.packages, counts.pictures, counts.removals, soak.signals, seconds);
    printf("resident memory: %ld KiB at the start, %ld KiB at the end (%+ld KiB; target <= %+ld)\n", start.rss_kib,
           end.rss_kib, end.rss_kib - start.rss_kib, counts.max_growth_kib);
    printf("open descriptors: %ld at the start, %ld at the end; threads: %ld at the start, %ld at the end\n",
           start.fds, end.fds, start.threads, end.threads);
    printf("worst switch: %.0f ms to the board's answer (all %ld), %.0f ms to the picture on screen (%ld sampled)\n",
           soak.worst_reply_ms, counts.switches, soak.worst_screen_ms, soak.screen_samples);
    printf("replies lost: %ld; refusals: %ld; transfers the disk was taken from: %ld answered with a failure, %ld "
           "stored\n",
           soak.lost, soak.refused, soak.removal_failed, soak.removal_stored);
    print_load("at the end");
    bool met = end.rss_kib - start.rss_kib <= counts.max_growth_kib && end.fds == start.fds &&
               end.threads == start.threads && soak.lost == 0 && soak.refused == 0;
    if (!met)
        fprintf(stderr, "soak_bench: a target is missed\n");
    return met ? 0 : 1;
}

} // namespace

int main(int argc, char** argv)
{
    Counts counts;
    if (parse(argc, argv, counts) != 0)
        return 2;
    Bench bench;
    if (bench.open("soak_bench") != 0)
        return 1;
    int result = run(bench, counts);
    if (bench.player > 0) {
        int status = bench.stop_player();
        if (status != 0) {
            fprintf(stderr, "soak_bench: the player did not end cleanly (status %d)\n", status);
            result = 1;
        }
    }
    return result;
}
