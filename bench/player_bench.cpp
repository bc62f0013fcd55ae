// Player benchmark: the real player in a temporary board root with the sample media, driven by
// the host tool over the simulated USB link. Prints the time from process start to the boot
// picture on screen, from a banner-info message to the game's picture on screen (median of 20),
// and the player's resident memory after 10 and after 1000 banner switches.
#include "tools/sample_media.h"
#include "tools/screen_capture.h"
#include "tools/sim_board.h"
#include "tools/sim_relay.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int LATENCY_SWITCHES = 20;
constexpr int FEW_SWITCHES = 10;
constexpr int MANY_SWITCHES = 1000;
constexpr int COLOUR_TOLERANCE = 8;
constexpr auto SCREEN_TIMEOUT = std::chrono::seconds(30);

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

double ms_since(Clock::time_point start)
{
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

std::string program_dir()
{
    return fs::read_symlink("/proc/self/exe").parent_path().string();
}

struct Bench {
    std::string root;
    std::string bin = program_dir();
    pid_t player = 0;
};

bool wait_for_picture(const Bench& bench, const std::string& file)
{
    ScreenImage picture;
    if (load_picture(file, picture) != 0)
        return false;
    auto deadline = Clock::now() + SCREEN_TIMEOUT;
    while (Clock::now() < deadline) {
        ScreenImage screen;
        if (read_screen(bench.root + "/sim/screen", screen) == 0 && screen_shows(screen, picture, COLOUR_TOLERANCE))
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return false;
}


bool send_game(const Bench& bench, const Game& game)
{
    std::string command = "'" + bench.bin + "/tavimoro-host' --device '" + bench.root + "/sim/host.sock' info " +
                          game.arguments + " >/dev/null 2>&1";
    return system(command.c_str()) == 0;
}

long resident_kib(pid_t pid)
{
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmRSS:", 0) == 0)
            return std::stol(line.substr(6));
    }
    return -1;
}

int run(Bench& bench)
{
    const std::string product = bench.root + "/media/" + SIM_DEFAULT_DISK + "/vorlix";
    Clock::time_point started = Clock::now();
    bench.player = start_board_program(bench.bin + "/tavimoro", bench.root, bench.root + "/sim/player.log");
    if (bench.player < 0 || !wait_for_picture(bench, product + "/.assets/vorlix-boot.png")) {
        fprintf(stderr, "player_bench: the boot picture did not appear\n");
        return 1;
    }
    printf("process start -> boot picture on screen: %.0f ms\n", ms_since(started));

    // The first switches alternate two games and are timed; the rest cycle through all three.
    std::vector<double> latencies;
    long few = 0;
    for (int i = 0; i < MANY_SWITCHES; i++) {
        const bool timed = i < LATENCY_SWITCHES;
        const Game& game = timed ? GAMES[i % 2] : GAMES[i % 3];
        if (!send_game(bench, game)) {
            fprintf(stderr, "player_bench: the host tool failed at switch %d\n", i + 1);
            return 1;
        }
        // The host tool returns once the board has acknowledged the last report.
        Clock::time_point sent = Clock::now();
        if (timed) {
            if (!wait_for_picture(bench, product + game.picture)) {
                fprintf(stderr, "player_bench: %s did not appear\n", game.picture);
                return 1;
            }
            latencies.push_back(ms_since(sent));
        }
        if (i + 1 == FEW_SWITCHES)
            few = resident_kib(bench.player);
    }
    std::sort(latencies.begin(), latencies.end());
    printf("banner-info message -> game picture on screen: median %.0f ms (min %.0f, max %.0f, %d switches)\n",
           latencies[LATENCY_SWITCHES / 2], latencies.front(), latencies.back(), LATENCY_SWITCHES);
    long many = resident_kib(bench.player);
    printf("resident memory: %ld KiB after %d switches, %ld KiB after %d (%+ld KiB)\n", few, FEW_SWITCHES, many,
           MANY_SWITCHES, many - few);
    return 0;
}

} // namespace

int main()
{
    char root_template[] = "/tmp/tavimoro-bench-XXXXXX";
    if (!mkdtemp(root_template))
        return 1;
    Bench bench;
    bench.root = root_template;
    if (prepare_board(bench.root) != 0 || make_sample_media(bench.root) != 0) {
        fprintf(stderr, "player_bench: cannot lay out the board under %s\n", bench.root.c_str());
        return 1;
    }
    SimRelay relay;
    if (relay.open(bench.root + "/dev/hidg1", bench.root + "/sim/host.sock") != 0)
        return 1;
    std::atomic<bool> stop{false};
    std::thread relaying([&] {
        while (!stop)
            relay.step(10);
    });

    int result = run(bench);

    if (bench.player > 0) {
        kill(bench.player, SIGTERM);
        int status = 0;
        waitpid(bench.player, &status, 0);
        if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
            fprintf(stderr, "player_bench: the player did not end cleanly (status %d)\n", status);
            result = 1;
        }
    }
    stop = true;
    relaying.join();
    std::error_code error;
    fs::remove_all(bench.root, error);
    return result;
}
