// Host service benchmark: the real player in a temporary board root, named a game with a picture
// by a one-shot tavimoro-host (which finds and opens the link itself) and then by the same
// command handed to a running tavimoro-host serve (which keeps the link open). Prints the time
// from the command's start to the game's picture on screen for each (median and spread of 20),
// and the service's resident memory, threads and processor time over 10 s of idling, its HTTP API
// listening.
#include "bench/player_driver.h"
#include "sim/sim_board.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

using namespace player_bench;

namespace {

constexpr int SWITCHES = 20;
constexpr auto IDLE_INTERVAL = std::chrono::seconds(10);
constexpr auto START_TIMEOUT = std::chrono::seconds(20);

// Two games whose pictures fill the band as they are.
const std::pair<const char*, const char*> GAMES[] = {
    {"--title 'Star Fighter' --title2 'Star Fighter'", "/vorlix/star fighter.png"},
    {"--title 'Pixel Quest' --title2 'Pixel Quest' --romname PQUEST", "/thirdparty/arcade/pquest.png"},
};

// Each switch to the other game, from the command's start to its picture on screen; -1 on failure.
int measure_switches(const Bench& bench, const char* what)
{
    std::vector<double> latencies;
    for (int i = 0; i < SWITCHES; i++) {
        const auto& [arguments, picture] = GAMES[i % 2];
        Clock::time_point start = Clock::now();
        if (bench.host(std::string("info ") + arguments) != 0 || !bench.wait_for_picture(bench.product + picture)) {
            fprintf(stderr, "service_bench: %s: the picture did not show\n", what);
            return -1;
        }
        latencies.push_back(ms_since(start));
    }
    print_spread(what, latencies);
    return 0;
}

bool file_holds(const std::string& file, const std::string& text)
{
    std::ifstream in(file);
    std::stringstream content;
    content << in.rdbuf();
    return content.str().find(text) != std::string::npos;
}

pid_t start_service(const Bench& bench)
{
    std::string log = bench.root + "/sim/service.log";
    pid_t pid = fork();
    if (pid == 0) {
        freopen(log.c_str(), "w", stdout);
        dup2(STDOUT_FILENO, STDERR_FILENO);
        std::string tool = bench.bin + "/tavimoro-host", device = bench.root + "/sim/host.sock";
        std::string listen = "127.0.0.1:" + std::to_string(free_tcp_port());
        execl(tool.c_str(), tool.c_str(), "serve", "--device", device.c_str(), "--listen", listen.c_str(),
              static_cast<char*>(nullptr));
        _exit(127);
    }
    Clock::time_point start = Clock::now();
    while (pid > 0 && !file_holds(log, "tavimoro-host serve: ready")) {
        if (Clock::now() - start > START_TIMEOUT)
            return -1;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return pid;
}

} // namespace

int main()
{
    setvbuf(stdout, nullptr, _IONBF, 0);
    Bench bench;
    if (bench.open("service_bench") != 0 || bench.start_player() != 0)
        return 1;
    // Every tavimoro-host of this run, and the service, meet at the root's socket.
    setenv("TAVIMORO_SERVICE_SOCKET", (bench.root + "/sim/service.sock").c_str(), 1);
    setenv("TMPDIR", (bench.root + "/tmp").c_str(), 1);
    if (!bench.wait_for_picture(bench.product + "/.assets/vorlix-boot.png")) {
        fprintf(stderr, "service_bench: the player did not start\n");
        return 1;
    }
    print_load("at the start");
    if (measure_switches(bench, "game to picture, one-shot tavimoro-host") != 0)
        return 1;
    pid_t service = start_service(bench);
    if (service <= 0) {
        fprintf(stderr, "service_bench: the service did not start\n");
        return 1;
    }
    int status = measure_switches(bench, "game to picture, handed to tavimoro-host serve");
    if (status == 0) {
        double share = process_cpu_share(service, IDLE_INTERVAL);
        printf("service idle over %lld s: %.2f %% of a core, %ld KiB resident, %ld threads, %ld descriptors\n",
               static_cast<long long>(IDLE_INTERVAL.count()), share * 100, process_status(service, "VmRSS"),
               process_status(service, "Threads"), open_descriptors(service));
    }
    kill(service, SIGTERM);
    waitpid(service, nullptr, 0);
    print_load("at the end");
    return status == 0 && bench.stop_player() == 0 ? 0 : 1;
}
