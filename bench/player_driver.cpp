// The player benchmarks' board root, player process and host-tool driving.
#include "bench/player_driver.h"

#include "sim/sample_media.h"
#include "sim/screen_capture.h"
#include "sim/sim_board.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace fs = std::filesystem;

namespace player_bench {

namespace {

constexpr int COLOUR_TOLERANCE = 8;
constexpr auto SCREEN_TIMEOUT = std::chrono::seconds(30);

std::string program_dir()
{
    return fs::read_symlink("/proc/self/exe").parent_path().string();
}

} // namespace

double ms_since(Clock::time_point start)
{
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

int Bench::open(const char* who)
{
    char root_template[] = "/tmp/tavimoro-bench-XXXXXX";
    if (!mkdtemp(root_template))
        return -1;
    root = root_template;
    product = root + "/media/" + SIM_DEFAULT_DISK + "/vorlix";
    bin = program_dir();
    if (prepare_board(root) != 0 || make_sample_media(root) != 0 ||
        relay_.open(root + "/dev/hidg1", root + "/sim/host.sock") != 0) {
        fprintf(stderr, "%s: cannot lay out the board under %s\n", who, root.c_str());
        return -1;
    }
    relaying_ = std::thread([this] {
        while (!stop_)
            relay_.step(10);
    });
    return 0;
}

Bench::~Bench()
{
    if (player > 0) {
        kill(player, SIGKILL);
        waitpid(player, nullptr, 0);
    }
    stop_ = true;
    if (relaying_.joinable())
        relaying_.join();
    std::error_code error;
    if (!root.empty())
        fs::remove_all(root, error);
}

int Bench::start_player()
{
    player = start_board_program(bin + "/tavimoro", root, root + "/sim/player.log");
    return player > 0 ? 0 : -1;
}

int Bench::stop_player()
{
    kill(player, SIGTERM);
    int status = 0;
    waitpid(player, &status, 0);
    player = 0;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

int Bench::host(const std::string& arguments) const
{
    std::string command = "'" + bin + "/tavimoro-host' --device '" + root + "/sim/host.sock' " + arguments +
                          " >/dev/null 2>&1";
    int status = system(command.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

bool Bench::wait_for_picture(const std::string& file) const
{
    ScreenImage picture;
    return load_picture(file, picture) == 0 && wait_for_screen(picture);
}

bool Bench::wait_for_screen(const ScreenImage& picture) const
{
    // Only a new frame is copied and compared: copying the whole screen at every look would take
    // the processor time of the player under test.
    const std::string screen_file = root + "/sim/screen";
    int64_t compared = -1;
    auto deadline = Clock::now() + SCREEN_TIMEOUT;
    while (Clock::now() < deadline) {
        int64_t sequence = read_screen_sequence(screen_file);
        if (sequence != compared && sequence % 2 == 0) {
            ScreenImage screen;
            if (read_screen(screen_file, screen) == 0) {
                if (screen_shows(screen, picture, COLOUR_TOLERANCE))
                    return true;
                compared = static_cast<int64_t>(screen.sequence);
            }
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return false;
}

std::string Bench::player_log() const
{
    std::ifstream file(root + "/sim/player.log");
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
}

bool Bench::wait_for_trace(const std::string& trace, size_t from) const
{
    auto deadline = Clock::now() + SCREEN_TIMEOUT;
    while (Clock::now() < deadline) {
        if (player_log().find(trace, from) != std::string::npos)
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

long process_status(pid_t pid, const char* field)
{
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string prefix = std::string(field) + ":";
    for (std::string line; std::getline(status, line);) {
        if (line.rfind(prefix, 0) == 0)
            return std::stol(line.substr(prefix.size()));
    }
    return -1;
}

long open_descriptors(pid_t pid)
{
    std::error_code error;
    fs::directory_iterator fds("/proc/" + std::to_string(pid) + "/fd", error);
    return error ? -1 : static_cast<long>(std::distance(fds, fs::directory_iterator()));
}

void print_load(const char* when)
{
    std::ifstream loadavg("/proc/loadavg");
    std::string one, five, fifteen;
    loadavg >> one >> five >> fifteen;
    printf("machine load %s: %s %s %s (1, 5, 15 min), %u cores\n", when, one.c_str(), five.c_str(),
           fifteen.c_str(), std::thread::hardware_concurrency());
}

void print_spread(const char* what, std::vector<double>& figures)
{
    std::sort(figures.begin(), figures.end());
    printf("%s: median %.0f ms (min %.0f, max %.0f, %zu runs)\n", what, figures[figures.size() / 2], figures.front(),
           figures.back(), figures.size());
}

} // namespace player_bench
