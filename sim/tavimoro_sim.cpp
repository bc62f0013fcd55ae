// tavimoro-sim: runs the player against a simulated board on an ordinary Linux machine.
#include "sim/sample_media.h"
#include "sim/screen_capture.h"
#include "sim/sim_board.h"
#include "sim/sim_relay.h"

#include <SDL.h>
#include <SDL_image.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>

namespace fs = std::filesystem;

namespace {

constexpr const char* USAGE = R"(Usage: tavimoro-sim [options] [run | prepare | screenshot FILE]

Runs the marquee player against a simulated board on this machine.

Commands:
  run              (default) lay out the board root with sample media, relay the USB link,
                   keep the USB controller "configured", start the player; Ctrl-C stops it all
  prepare          only lay out the board root with sample media
  screenshot FILE  save the current screen as a PNG picture (the top 1920x360 band with --band)

Options:
  --root DIR       board root (default: $TAVIMORO_ROOT, or ./sim-root)
  --player PATH    the player program (default: tavimoro beside this program)
  --window         show the screen live in a window (default when $DISPLAY is set)
  --no-window      never open a window
  --band           screenshot: only the 1920x360 band
  -h, --help       this text

Drive the simulated board with the host tool over the host socket ROOT/sim/host.sock:
  tavimoro-host --device ROOT/sim/host.sock info --title "Star Fighter" --title2 "Star Fighter"
)";

constexpr int BAND_ROWS = 360;
constexpr int WINDOW_WIDTH = 960, WINDOW_HEIGHT = 540;
constexpr int RELAY_WAIT_MS = 15;
constexpr auto PLAYER_STOP_TIMEOUT = std::chrono::seconds(15);
constexpr const char* UDC_STATE = "/sys/devices/platform/10180000.usb/udc/10180000.usb/state";

std::atomic<int> stop_requested{0};

struct Options {
    std::string root;
    std::string player;
    std::string command = "run";
    std::string screenshot;
    bool window = getenv("DISPLAY") != nullptr;
    bool band = false;
};

std::string program_dir()
{
    std::error_code error;
    fs::path self = fs::read_symlink("/proc/self/exe", error);
    return error ? std::string(".") : self.parent_path().string();
}

int parse_options(int argc, char** argv, Options& options)
{
    for (int i = 1; i < argc; i++) {
        std::string arg = argv[i];
        bool has_value = i + 1 < argc;
        if (arg == "-h" || arg == "--help") {
            fputs(USAGE, stdout);
            exit(0);
        } else if (arg == "--root" && has_value) {
            options.root = argv[++i];
        } else if (arg == "--player" && has_value) {
            options.player = argv[++i];
        } else if (arg == "--window" || arg == "--no-window") {
            options.window = arg == "--window";
        } else if (arg == "--band") {
            options.band = true;
        } else if (arg == "run" || arg == "prepare") {
            options.command = arg;
        } else if (arg == "screenshot" && has_value) {
            options.command = arg;
            options.screenshot = argv[++i];
        } else {
            fprintf(stderr, "tavimoro-sim: unknown argument '%s'\n\n%s", arg.c_str(), USAGE);
            return -1;
        }
    }
    if (options.root.empty())
        options.root = getenv("TAVIMORO_ROOT") && *getenv("TAVIMORO_ROOT") ? getenv("TAVIMORO_ROOT") : "sim-root";
    options.root = fs::absolute(options.root).lexically_normal().string();
    if (options.player.empty())
        options.player = program_dir() + "/tavimoro";
    return 0;
}

int prepare(const Options& options)
{
    printf("tavimoro-sim: laying out the board under %s\n", options.root.c_str());
    if (prepare_board(options.root) != 0 || make_sample_media(options.root) != 0) {
        fprintf(stderr, "tavimoro-sim: cannot lay out the board under %s\n", options.root.c_str());
        return -1;
    }
    // The player runs the updater from the board's system image.
    std::error_code error;
    fs::copy_file(program_dir() + "/update", options.root + "/emulator/update", fs::copy_options::overwrite_existing,
                  error);
    return 0;
}


int stop_player(pid_t pid)
{
    kill(pid, SIGTERM);
    auto deadline = std::chrono::steady_clock::now() + PLAYER_STOP_TIMEOUT;
    int status = 0;
    while (waitpid(pid, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > deadline) {
            fprintf(stderr, "tavimoro-sim: the player did not stop; killing it\n");
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// The live view: the whole 1920x1080 output, scaled to half size.
class LiveWindow {
public:
    bool open()
    {
        if (SDL_InitSubSystem(SDL_INIT_VIDEO) != 0)
            return false;
        window_ = SDL_CreateWindow("Tavimoro marquee (simulated HDMI output)", SDL_WINDOWPOS_UNDEFINED,
                                   SDL_WINDOWPOS_UNDEFINED, WINDOW_WIDTH, WINDOW_HEIGHT, 0);
        renderer_ = window_ ? SDL_CreateRenderer(window_, -1, 0) : nullptr;
        return renderer_ != nullptr;
    }
    void show(const ScreenImage& image)
    {
        if (!texture_)
            texture_ = SDL_CreateTexture(renderer_, SDL_PIXELFORMAT_ABGR8888, SDL_TEXTUREACCESS_STREAMING,
                                         static_cast<int>(image.width), static_cast<int>(image.height));
        SDL_UpdateTexture(texture_, nullptr, image.rgba.data(), static_cast<int>(image.width * 4));
        SDL_RenderClear(renderer_);
        SDL_RenderCopy(renderer_, texture_, nullptr, nullptr);
        SDL_RenderPresent(renderer_);
    }
    bool closed()
    {
        SDL_Event event;
        while (SDL_PollEvent(&event)) {
            if (event.type == SDL_QUIT)
                return true;
        }
        return false;
    }
    ~LiveWindow()
    {
        if (texture_)
            SDL_DestroyTexture(texture_);
        if (renderer_)
            SDL_DestroyRenderer(renderer_);
        if (window_)
            SDL_DestroyWindow(window_);
    }

private:
    SDL_Window* window_ = nullptr;
    SDL_Renderer* renderer_ = nullptr;
    SDL_Texture* texture_ = nullptr;
};

int run(const Options& options)
{
    if (prepare(options) != 0)
        return 1;
    if (!fs::exists(options.player)) {
        fprintf(stderr, "tavimoro-sim: no player program at %s\n", options.player.c_str());
        return 1;
    }
    SimRelay relay;
    if (relay.open(options.root + "/dev/hidg1", options.root + "/sim/host.sock") != 0) {
        fprintf(stderr, "tavimoro-sim: cannot listen on the simulated USB link\n");
        return 1;
    }
    write_sim_file(options.root + UDC_STATE, "configured\n");
    pid_t player = start_board_program(options.player, options.root);
    printf("tavimoro-sim: player running (pid %d); host socket %s/sim/host.sock\n", player, options.root.c_str());

    LiveWindow window;
    bool live = options.window && window.open();
    uint64_t shown = 0;
    int status = 0;
    while (!stop_requested) {
        relay.step(RELAY_WAIT_MS);
        if (waitpid(player, &status, WNOHANG) == player) {
            fprintf(stderr, "tavimoro-sim: the player ended (status %d)\n", WIFEXITED(status) ? WEXITSTATUS(status) : -1);
            return 1;
        }
        ScreenImage image;
        if (live && read_screen(options.root + "/sim/screen", image) == 0 && image.sequence != shown) {
            window.show(image);
            shown = image.sequence;
        }
        if (live && window.closed())
            break;
    }
    printf("tavimoro-sim: stopping the player\n");
    return stop_player(player) == 0 ? 0 : 1;
}

int screenshot(const Options& options)
{
    ScreenImage image;
    if (read_screen(options.root + "/sim/screen", image) != 0) {
        fprintf(stderr, "tavimoro-sim: no complete frame in %s/sim/screen\n", options.root.c_str());
        return 1;
    }
    if (save_screen_png(image, options.screenshot, options.band ? BAND_ROWS : 0) != 0) {
        fprintf(stderr, "tavimoro-sim: cannot write %s\n", options.screenshot.c_str());
        return 1;
    }
    printf("tavimoro-sim: frame %llu saved to %s\n", static_cast<unsigned long long>(image.sequence),
           options.screenshot.c_str());
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    setvbuf(stdout, nullptr, _IONBF, 0);
    Options options;
    if (parse_options(argc, argv, options) != 0)
        return 2;
    struct sigaction action {};
    action.sa_handler = [](int) { stop_requested = 1; };
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    if (options.command == "prepare")
        return prepare(options) == 0 ? 0 : 1;
    if (options.command == "screenshot")
        return screenshot(options);
    return run(options);
}
