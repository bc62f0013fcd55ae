// Player benchmark: the real player in a temporary board root with the sample media, driven by
// the host tool over the simulated USB link. Prints the time from process start to the boot
// picture on screen; from a banner-info message to the game's picture on screen (median and
// maximum of 20); from the last of a burst of 31 messages to its game's picture; the player's
// processor time over 10 s of video, of a still picture, of a title card and of a scrolling
// leaderboard, with the frames presented a second; its resident memory after 10 and after 1000
// banner switches; and the scroll drawn by the GPU beside the scroll painted in software (a player
// started again with no texture tiles allowed), with the resident memory of each while it scrolls
// the longest leaderboard the link carries. The machine's load is printed at the start and at the
// end: latencies on a busy machine are longer.
#include "bench/player_driver.h"
#include "sim/screen_capture.h"
#include "sim/sim_board.h"

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <thread>
#include <vector>

using namespace player_bench;

namespace {

constexpr int LATENCY_SWITCHES = 20;
// A person scrolling through a game list: each game named as the list passes it.
constexpr int BURST_MESSAGES = 31;
constexpr int BURSTS = 5;
constexpr int FEW_SWITCHES = 10;
constexpr int MANY_SWITCHES = 1000;
constexpr auto CPU_INTERVAL = std::chrono::seconds(10);
// After a step starts, before its processor time is taken: the picture is composed and drawn.
constexpr auto SETTLE = std::chrono::seconds(1);
// Long enough to scroll for more than SETTLE and CPU_INTERVAL together (one second per 4 bytes).
constexpr size_t SCROLL_TEXT_BYTES = 120;
// The longest leaderboard a banner-info message carries, in the widest letter: the widest text.
constexpr size_t LONGEST_SCROLL_BYTES = 510;
constexpr const char* SCROLL_TRACE = "banner_proc dis time=";
// Threads that take less of a core than this are left out of the figures by thread.
constexpr double MINOR_THREAD_SHARE = 0.002;

struct Game {
    const char* arguments;  // for tavimoro-host info
    const char* picture;    // under the product directory; empty when not checked on screen
};

// Two games whose pictures fill the band as they are, and one whose media sit in two trees.
const Game GAMES[] = {
    {"--title 'Star Fighter' --title2 'Star Fighter'", "/vorlix/star fighter.png"},
    {"--title 'Pixel Quest' --title2 'Pixel Quest' --romname PQUEST", "/thirdparty/arcade/pquest.png"},
    {"--title 'Road Racer' --title2 'Road Racer'", ""},
};

// A game with a picture and no video (a still shown over and over), and one with no media at all.
constexpr const char* STILL_GAME = "--title 'Moon Miner' --title2 'Moon Miner'";
constexpr const char* STILL_TRACE = "banner_proc: image start , ";
constexpr const char* CARD_GAME = "--title 'Galaxy Golf' --title2 'Galaxy Golf'";
constexpr const char* CARD_TRACE = "banner_proc: title start,  Galaxy Golf";
// A game with no media whose title the board's font lacks: its card has a fallback run.
constexpr const char* JAPANESE_GAME = "--title 'ストリートファイターII' --title2 'ストリートファイターII'";
constexpr const char* JAPANESE_TRACE = "banner_proc: title start,  ストリートファイターII";

bool send_info(const Bench& bench, const std::string& arguments)
{
    return bench.host("info " + arguments) == 0;
}

bool send_game(const Bench& bench, const Game& game)
{
    return send_info(bench, game.arguments);
}

// What the player spends on a step: its share of a core, the part of it the simulator's stand-ins
// for the GPU and the scan-out take, and the frames it presents a second.
struct StepCost {
    double cpu = 0;
    double stand_ins = 0;
    double frames = 0;
};

// Names a game (`arguments` for the host tool), waits until the player traces `trace`, lets the
// step settle and prints the player's processor time and the frames it presented over
// CPU_INTERVAL; -1 on failure.
int measure_cpu(const Bench& bench, const char* what, const std::string& arguments, const std::string& trace,
                StepCost* cost = nullptr)
{
    size_t from = bench.player_log().size();
    if (!arguments.empty() && !send_info(bench, arguments)) {
        fprintf(stderr, "player_bench: the host tool failed for %s\n", what);
        return -1;
    }
    if (!bench.wait_for_trace(trace, from)) {
        fprintf(stderr, "player_bench: %s did not start\n", what);
        return -1;
    }
    std::this_thread::sleep_for(SETTLE);
    // The screen's sequence grows by two with each frame presented.
    const std::string screen = bench.root + "/sim/screen";
    int64_t first = read_screen_sequence(screen);
    std::map<std::string, long long> threads = thread_cpu_ticks(bench.player);
    Clock::time_point started = Clock::now();
    double share = process_cpu_share(bench.player, CPU_INTERVAL);
    double seconds = ms_since(started) / 1000;
    double frames = double(read_screen_sequence(screen) - first) / 2 / seconds;
    if (share < 0 || first < 0)
        return -1;
    printf("player CPU over %lld s of %s: %.1f %% of a core, %.1f frames presented a second\n",
           static_cast<long long>(CPU_INTERVAL.count()), what, share * 100, frames);
    printf("  by thread:");
    double stand_ins = 0;
    for (const auto& [name, thread_share] : thread_cpu_shares(bench.player, threads, seconds)) {
        if (is_stand_in_thread(name))
            stand_ins += thread_share;
        if (thread_share >= MINOR_THREAD_SHARE)
            printf(" %s %.1f %%", name.c_str(), thread_share * 100);
    }
    printf("\n");
    if (cost)
        *cost = {share, stand_ins, frames};
    return 0;
}

// The scroll's processor time and frame rate, then the player's resident memory in KiB while it
// scrolls the longest leaderboard, and how much more that is than while it scrolled the shorter
// one (the rest is what the process held before, which differs between the two players); -1 on
// failure.
int measure_scroll(const Bench& bench, const char* what, StepCost& cost, long& longest_rss, long& growth)
{
    if (measure_cpu(bench, what, "--leaderboard '" + std::string(SCROLL_TEXT_BYTES, 'W') + "'", SCROLL_TRACE,
                    &cost) != 0)
        return -1;
    const long shorter_rss = process_status(bench.player, "VmRSS");
    size_t from = bench.player_log().size();
    if (!send_info(bench, "--leaderboard '" + std::string(LONGEST_SCROLL_BYTES, 'W') + "'") ||
        !bench.wait_for_trace(SCROLL_TRACE, from))
        return -1;
    std::this_thread::sleep_for(2 * SETTLE);
    longest_rss = process_status(bench.player, "VmRSS");
    growth = longest_rss - shorter_rss;
    return longest_rss < 0 || shorter_rss < 0 ? -1 : 0;
}

// The player started again with no texture tiles allowed paints every scroll frame in software,
// as before the scroll moved to the GPU (and as where the GPU cannot hold the text).
int start_software_scroll_player(Bench& bench)
{
    if (bench.stop_player() != 0)
        return -1;
    setenv("TAVIMORO_TEXTURE_LIMIT", "0", 1);
    int started = bench.start_player();
    unsetenv("TAVIMORO_TEXTURE_LIMIT");
    if (started != 0 || !bench.wait_for_picture(bench.product + "/.assets/vorlix-boot.png"))
        return -1;
    return 0;
}

// Bursts of messages, each ending with a game whose picture is on screen neither before the burst
// nor from any message of it, so that only the last message can put it there.
int measure_bursts(const Bench& bench, const std::string& product)
{
    std::vector<double> latencies;
    for (int burst = 0; burst < BURSTS; burst++) {
        const Game& last = GAMES[burst % 2];
        const Game& other = GAMES[1 - burst % 2];
        for (int i = 0; i < BURST_MESSAGES; i++) {
            const Game& game = i + 1 == BURST_MESSAGES ? last : i % 2 ? GAMES[2] : other;
            if (!send_game(bench, game)) {
                fprintf(stderr, "player_bench: the host tool failed in burst %d\n", burst + 1);
                return -1;
            }
        }
        Clock::time_point sent = Clock::now();
        if (!bench.wait_for_picture(product + last.picture)) {
            fprintf(stderr, "player_bench: %s did not appear after a burst\n", last.picture);
            return -1;
        }
        latencies.push_back(ms_since(sent));
        std::this_thread::sleep_for(SETTLE);
    }
    print_spread(("burst of " + std::to_string(BURST_MESSAGES) + " banner-info messages, last reply -> its game " +
                  "picture on screen").c_str(),
                 latencies);
    return 0;
}

// Switches between a game picture and the Japanese title card, whose card is composed afresh,
// fallback run and all, at each switch; the card as first shown is the one waited for.
int measure_japanese_title(const Bench& bench, const std::string& product)
{
    size_t from = bench.player_log().size();
    ScreenImage card;
    if (!send_info(bench, JAPANESE_GAME) || !bench.wait_for_trace(JAPANESE_TRACE, from))
        return -1;
    std::this_thread::sleep_for(SETTLE);
    if (read_screen(bench.root + "/sim/screen", card) != 0)
        return -1;
    std::vector<double> latencies;
    for (int i = 0; i < 2 * LATENCY_SWITCHES; i++) {
        bool title = i % 2 == 1;
        if (!send_info(bench, title ? JAPANESE_GAME : GAMES[0].arguments))
            return -1;
        Clock::time_point sent = Clock::now();
        if (!(title ? bench.wait_for_screen(card) : bench.wait_for_picture(product + GAMES[0].picture))) {
            fprintf(stderr, "player_bench: the Japanese title card or the picture did not appear\n");
            return -1;
        }
        if (title)
            latencies.push_back(ms_since(sent));
    }
    print_spread("banner-info message -> Japanese title card on screen", latencies);
    return 0;
}

int run(Bench& bench)
{
    const std::string& product = bench.product;
    print_load("at the start");
    Clock::time_point started = Clock::now();
    if (bench.start_player() != 0 || !bench.wait_for_picture(product + "/.assets/vorlix-boot.png")) {
        fprintf(stderr, "player_bench: the boot picture did not appear\n");
        return 1;
    }
    printf("process start -> boot picture on screen: %.0f ms\n", ms_since(started));
    // The boot banner plays its video without end once its picture has been shown.
    if (measure_cpu(bench, "video (the 960x180 boot video)", "", "banner_proc: video start") != 0)
        return 1;

    // The first switches alternate two games and are timed; the rest cycle through all three.
    std::vector<double> latencies;
    long few = 0;
    for (int i = 0; i < LATENCY_SWITCHES; i++) {
        const Game& game = GAMES[i % 2];
        if (!send_game(bench, game)) {
            fprintf(stderr, "player_bench: the host tool failed at switch %d\n", i + 1);
            return 1;
        }
        // The host tool returns once the board has acknowledged the last report.
        Clock::time_point sent = Clock::now();
        if (!bench.wait_for_picture(product + game.picture)) {
            fprintf(stderr, "player_bench: %s did not appear\n", game.picture);
            return 1;
        }
        latencies.push_back(ms_since(sent));
    }
    print_spread("banner-info message -> game picture on screen", latencies);
    if (measure_japanese_title(bench, product) != 0 || measure_bursts(bench, product) != 0)
        return 1;

    StepCost gpu, software;
    long gpu_rss = 0, software_rss = 0, gpu_growth = 0, software_growth = 0;
    if (measure_cpu(bench, "a still picture", STILL_GAME, STILL_TRACE) != 0 ||
        measure_cpu(bench, "a title card", CARD_GAME, CARD_TRACE) != 0 ||
        measure_scroll(bench, "a scrolling leaderboard (GPU)", gpu, gpu_rss, gpu_growth) != 0) {
        fprintf(stderr, "player_bench: a still or the scroll could not be measured\n");
        return 1;
    }

    for (int i = 0; i < MANY_SWITCHES; i++) {
        if (!send_game(bench, GAMES[i % 3])) {
            fprintf(stderr, "player_bench: the host tool failed at switch %d\n", i + 1);
            return 1;
        }
        if (i + 1 == FEW_SWITCHES)
            few = process_status(bench.player, "VmRSS");
    }
    long many = process_status(bench.player, "VmRSS");
    printf("resident memory: %ld KiB after %d switches, %ld KiB after %d (%+ld KiB)\n", few, FEW_SWITCHES, many,
           MANY_SWITCHES, many - few);

    if (start_software_scroll_player(bench) != 0 ||
        measure_scroll(bench, "a scrolling leaderboard (software)", software, software_rss, software_growth) != 0) {
        fprintf(stderr, "player_bench: the software scroll could not be measured\n");
        return 1;
    }
    printf("scroll of %zu bytes, GPU / software: %.1f %% / %.1f %% of a core, %.1f / %.1f frames presented a "
           "second\n",
           SCROLL_TEXT_BYTES, gpu.cpu * 100, software.cpu * 100, gpu.frames, software.frames);
    printf("  of which the player's own threads / the simulated GPU and scan-out (llvmpipe, presenter): GPU %.1f %% "
           "/ %.1f %%, software %.1f %% / %.1f %%\n",
           (gpu.cpu - gpu.stand_ins) * 100, gpu.stand_ins * 100, (software.cpu - software.stand_ins) * 100,
           software.stand_ins * 100);
    printf("resident memory scrolling %zu bytes, GPU / software: %ld / %ld KiB (%+ld / %+ld KiB over the scroll of "
           "%zu bytes)\n",
           LONGEST_SCROLL_BYTES, gpu_rss, software_rss, gpu_growth, software_growth, SCROLL_TEXT_BYTES);
    print_load("at the end");
    return 0;
}

} // namespace

int main()
{
    Bench bench;
    if (bench.open("player_bench") != 0)
        return 1;
    int result = run(bench);
    if (bench.player > 0) {
        int status = bench.stop_player();
        if (status != 0) {
            fprintf(stderr, "player_bench: the player did not end cleanly (status %d)\n", status);
            result = 1;
        }
    }
    return result;
}
