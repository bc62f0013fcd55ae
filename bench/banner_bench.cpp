// Banner benchmark, over a simulated board root: CPU time of a title card with and without glyph
// fallback runs, of one leaderboard scroll frame, the
// time from a 1920x360 JPEG to the composed picture complete on the virtual display, and the same
// through the banner sequencer and the video thread, from set_bannerbar_info on; the resident
// memory a 4000-byte leaderboard takes, its rendering and its texture tiles; the process's share
// of a core at the scroll's 50 frames a second for a blank band, the scroll from tiles and painted.
#include "banner/bannerbar.h"
#include "banner/font.h"
#include "banner/image.h"
#include "banner/leaderboard.h"
#include "banner/surface.h"
#include "core/events.h"
#include "display/display_device.h"
#include "display/opengl.h"
#include "display/video.h"
#include "playback/playbin.h"
#include "playback/queue.h"
#include "sim/screen_capture.h"
#include "sim/sim_board.h"

#include <SDL2/SDL_image.h>
#include <SDL2/SDL_ttf.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

namespace fs = std::filesystem;

namespace {

constexpr const char* SYSTEM_FONT = "/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf";
// A typical leaderboard: 100 bytes, wider than the card, scrolled for 25 s.
constexpr const char* LEADERBOARD = "1. AAA 999999  2. BBB 888888  3. CCC 777777  4. DDD 666666  "
                                    "5. EEE 555555  6. FFF 444444  7. GGG 333";
// Enough frames for a whole scroll cycle of that text.
constexpr int FRAMES = 3000;
// The longest leaderboard the player takes from a file, made of the typical one.
constexpr size_t LONGEST_LEADERBOARD_BYTES = 4000;
constexpr int PICTURES = 20;
constexpr int SCREEN_HEIGHT = 1080;
constexpr off_t SCREEN_SEQUENCE_OFFSET = 24;
constexpr double SCREEN_TIMEOUT_US = 5e6;

double clock_us(clockid_t clock)
{
    timespec now;
    clock_gettime(clock, &now);
    return now.tv_sec * 1e6 + now.tv_nsec / 1e3;
}

// The screen file's frame sequence: odd while a frame is written, even when it is complete.
uint64_t screen_sequence(const std::string& screen)
{
    uint64_t sequence = 0;
    int fd = open(screen.c_str(), O_RDONLY);
    if (fd >= 0) {
        if (pread(fd, &sequence, sizeof sequence, SCREEN_SEQUENCE_OFFSET) != sizeof sequence)
            sequence = 0;
        close(fd);
    }
    return sequence;
}

constexpr int TITLE_CARDS = 200;

// CPU time of composing the title card of `title`: the first card (which opens the fallback
// fonts it needs) and the median of the following ones.
void title_cards(const char* title, const char* what)
{
    std::vector<double> times;
    for (int i = 0; i < TITLE_CARDS; i++) {
        double start = clock_us(CLOCK_THREAD_CPUTIME_ID);
        get_surface_title(title);
        times.push_back(clock_us(CLOCK_THREAD_CPUTIME_ID) - start);
    }
    double first = times.front();
    std::sort(times.begin(), times.end());
    printf("title card CPU time, %s: first %.2f ms, median %.2f ms, max %.2f ms (%d cards)\n", what, first / 1e3,
           times[TITLE_CARDS / 2] / 1e3, times.back() / 1e3, TITLE_CARDS);
}

void scroll_frames()
{
    std::string text = LEADERBOARD;
    int width = leaderboard_init(text.data());
    std::vector<double> frames;
    for (int i = 0; i < FRAMES; i++) {
        double start = clock_us(CLOCK_THREAD_CPUTIME_ID);
        ui_paint_text_scroll();
        frames.push_back(clock_us(CLOCK_THREAD_CPUTIME_ID) - start);
    }
    std::sort(frames.begin(), frames.end());
    printf("scroll frame CPU time: median %.1f us, 95th percentile %.1f us, max %.1f us "
           "(%d frames, text %d px wide)\n",
           frames[FRAMES / 2], frames[FRAMES * 95 / 100], frames.back(), FRAMES, width);
}

// Prints the median and maximum of a complete series of picture times (in microseconds); -1 when
// the series broke off.
int report_times(std::vector<double>& times, const char* what)
{
    if (times.size() != PICTURES)
        return -1;
    std::sort(times.begin(), times.end());
    printf("%s: median %.1f ms, max %.1f ms (%d pictures)\n", what, times[PICTURES / 2] / 1e3, times.back() / 1e3,
           PICTURES);
    return 0;
}

// Brings the display up, drawing in the band.
int open_band_display()
{
    if (init_opengl() != 0)
        return -1;
    set_view_port(0, SCREEN_HEIGHT - BANNER_HEIGHT, BANNER_WIDTH, BANNER_HEIGHT);
    set_shader_index(SHADER_INDEX_RGBA);
    return 0;
}

// Load, composition, hand-over and one draw, as the banner and video threads do them, until the
// presented frame is complete in the screen file.
int picture_to_screen(const std::string& root)
{
    g_evctx = {};
    g_evctx.version = DRM_EVENT_CONTEXT_VERSION;
    g_evctx.page_flip_handler = page_flip_handler;
    if (open_band_display() != 0)
        return -1;
    std::string jpeg = root + "/picture.jpg";
    UniqueSurface source = make_surface(BANNER_WIDTH, BANNER_HEIGHT);
    SDL_FillRect(source.get(), nullptr, SDL_MapRGBA(source->format, 200, 100, 50, 255));
    IMG_SaveJPG(source.get(), jpeg.c_str(), 90);
    std::string screen = root + "/sim/screen";
    std::vector<double> times;
    for (int i = 0; i < PICTURES; i++) {
        free_surface_banner();
        wait_flip(true);
        uint64_t before = screen_sequence(screen);
        double start = clock_us(CLOCK_MONOTONIC);
        show_surface_image(get_surface_picture(jpeg.c_str()));
        draw_image();
        uint64_t now = before;
        while ((now <= before || now % 2 != 0) && clock_us(CLOCK_MONOTONIC) - start < SCREEN_TIMEOUT_US)
            now = screen_sequence(screen);
        if (now <= before)
            break;
        times.push_back(clock_us(CLOCK_MONOTONIC) - start);
    }
    deinit_opengl();
    return report_times(times, "picture to screen (load, compose, draw, flip; without the banner and video "
                               "threads' sleeps)");
}

constexpr auto SCROLL_FRAME_PERIOD = std::chrono::milliseconds(20);
constexpr int RATE_FRAMES = 250;

// Hands the next scroll frame over and draws it, as the banner and video threads do.
void draw_next_scroll_frame()
{
    lock_image_mutex();
    show_scroll_frame_nolock(next_scroll_frame());
    unlock_image_mutex();
    wait_flip(true);
    draw_image();
}

// The process's share of a core while `draw` runs 50 times a second: the virtual display's stand-ins
// for the GPU and the scan-out (llvmpipe's threads, the presenter) are in the process and counted.
template <typename Draw>
double share_at_scroll_rate(Draw draw)
{
    const double cpu = clock_us(CLOCK_PROCESS_CPUTIME_ID);
    const auto start = std::chrono::steady_clock::now();
    for (int frame = 0; frame < RATE_FRAMES; frame++) {
        draw();
        std::this_thread::sleep_until(start + (frame + 1) * SCROLL_FRAME_PERIOD);
    }
    const std::chrono::duration<double, std::micro> wall = std::chrono::steady_clock::now() - start;
    return (clock_us(CLOCK_PROCESS_CPUTIME_ID) - cpu) / wall.count();
}

// What presenting any frame 50 times a second costs in the simulator (a blank band: the clear, the
// read-back, the scan-out), beside the scroll drawn from tiles and painted, so that the scroll's own
// part can be told from it.
int scroll_rate_shares()
{
    std::string text = LEADERBOARD;
    if (open_band_display() != 0)
        return -1;
    const double blank = share_at_scroll_rate([] {
        wait_flip(true);
        draw_strip(nullptr, 0, 0);
    });
    leaderboard_init(text.data());
    const double tiles = share_at_scroll_rate(draw_next_scroll_frame);
    const bool drawn_from_tiles = strip_uploaded();
    deinit_opengl();
    // No tiles allowed: every frame painted, as before the scroll moved to the GPU.
    setenv("TAVIMORO_TEXTURE_LIMIT", "0", 1);
    const int opened = open_band_display();
    unsetenv("TAVIMORO_TEXTURE_LIMIT");
    if (opened != 0)
        return -1;
    leaderboard_init(text.data());
    const double painted = share_at_scroll_rate(draw_next_scroll_frame);
    deinit_opengl();
    printf("process CPU at 50 frames a second (%d frames): blank band %.1f %%, scroll from tiles %.1f %% (%+.1f), "
           "painted %.1f %% (%+.1f) of a core\n",
           RATE_FRAMES, 100 * blank, 100 * tiles, 100 * (tiles - blank), 100 * painted, 100 * (painted - blank));
    return drawn_from_tiles ? 0 : -1;
}

// The process's resident memory in KiB; -1 when unreadable.
long resident_kib()
{
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("VmRSS:", 0) == 0)
            return std::stol(line.substr(6));
    }
    return -1;
}

// What a 4000-byte leaderboard adds to the resident memory: its rendering, then its tiles once
// its first frame is drawn; and what is left once another text replaces it.
int longest_leaderboard_memory()
{
    if (open_band_display() != 0)
        return -1;
    std::string text;
    while (text.size() < LONGEST_LEADERBOARD_BYTES)
        text += LEADERBOARD;
    text.resize(LONGEST_LEADERBOARD_BYTES);
    // The sequencer's thread let the fonts go when it ended.
    load_font();
    const long before = resident_kib();
    const int width = leaderboard_init(text.data());
    const long rendered = resident_kib();
    draw_next_scroll_frame();
    const bool tiles = strip_uploaded();
    const long drawn = resident_kib();
    std::string shorter = LEADERBOARD;
    leaderboard_init(shorter.data());
    draw_next_scroll_frame();
    const long replaced = resident_kib();
    deinit_opengl();
    printf("resident memory of a %zu-byte leaderboard (%d px wide): rendering %+ld KiB, %s %+ld KiB; %+ld KiB "
           "once a %zu-byte one replaces it\n",
           text.size(), width, rendered - before, tiles ? "tiles" : "no tiles (painted)", drawn - rendered,
           replaced - before, shorter.size());
    return tiles ? 0 : -1;
}

// Two pictures shown in turn, so that each record changes what is on screen.
int sequencer_to_screen(const std::string& root)
{
    const Uint8 colours[2][3] = {{200, 40, 40}, {40, 40, 200}};
    std::string jpegs[2];
    for (int i = 0; i < 2; i++) {
        jpegs[i] = root + "/picture" + std::to_string(i) + ".jpg";
        UniqueSurface source = make_surface(BANNER_WIDTH, BANNER_HEIGHT);
        SDL_FillRect(source.get(), nullptr, SDL_MapRGBA(source->format, colours[i][0], colours[i][1], colours[i][2], 255));
        IMG_SaveJPG(source.get(), jpegs[i].c_str(), 90);
    }
    ScreenImage pictures[2];
    if (load_picture(jpegs[0], pictures[0]) != 0 || load_picture(jpegs[1], pictures[1]) != 0)
        return -1;
    set_hdmi_state(1);
    set_player_state(PLAYER_STATE_IDLE);
    init_decoder_queue();
    set_image_drawer(draw_image);
    init_video_thread();
    init_banner_thread();
    std::vector<double> times;
    for (int i = 0; i < PICTURES; i++) {
        banner_bar_t record{};
        snprintf(record.image_file, sizeof record.image_file, "%s", jpegs[i % 2].c_str());
        double start = clock_us(CLOCK_MONOTONIC);
        set_bannerbar_info(record);
        ScreenImage screen;
        bool shown = false;
        while (!shown && clock_us(CLOCK_MONOTONIC) - start < SCREEN_TIMEOUT_US) {
            shown = read_screen(root + "/sim/screen", screen) == 0 && screen_shows(screen, pictures[i % 2], 8);
            std::this_thread::sleep_for(std::chrono::microseconds(500));
        }
        if (!shown)
            break;
        times.push_back(clock_us(CLOCK_MONOTONIC) - start);
    }
    deinit_banner_thread();
    deinit_video_thread();
    release_decoder_queue();
    return report_times(times, "set_bannerbar_info to picture on screen (through the banner and video threads)");
}

// A board root holding the font and the CJK fallback font; set before anything reads the root.
std::string make_root()
{
    std::string pattern = (fs::temp_directory_path() / "tavimoro-bench-XXXXXX").string();
    if (!mkdtemp(pattern.data()))
        return {};
    fs::create_directories(pattern + "/rom/vorlix/fonts");
    fs::copy_file(SYSTEM_FONT, pattern + "/rom/vorlix/fonts/Futura_Medium.ttf");
    std::error_code missing;
    fs::create_symlink(SIM_CJK_FONT, pattern + "/rom/vorlix/fonts/" + fs::path(SIM_CJK_FONT).filename().string(),
                       missing);
    setenv("TAVIMORO_ROOT", pattern.c_str(), 1);
    return pattern;
}

} // namespace

int main()
{
    std::string root = make_root();
    if (root.empty() || TTF_Init() != 0 || SDL_Init(SDL_INIT_EVENTS) != 0) {
        fprintf(stderr, "banner_bench: cannot set up\n");
        return 1;
    }
    init_image_thread();
    load_font();
    title_cards("Street Fighter II", "Latin only (one run, as before)");
    title_cards("ストリートファイターII", "Japanese (a fallback run and a Latin run)");
    scroll_frames();
    int result = picture_to_screen(root);
    if (result == 0)
        result = sequencer_to_screen(root);
    if (result == 0)
        result = longest_leaderboard_memory();
    if (result == 0)
        result = scroll_rate_shares();
    if (result != 0)
        fprintf(stderr, "banner_bench: no display\n");
    free_font();
    deinit_image_res();
    TTF_Quit();
    SDL_Quit();
    fs::remove_all(root);
    return result == 0 ? 0 : 1;
}
