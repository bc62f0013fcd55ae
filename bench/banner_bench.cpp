// Banner benchmark: CPU time of one leaderboard scroll frame, over a simulated board root.
#include "banner/font.h"
#include "banner/image.h"
#include "banner/leaderborad.h"

#include <SDL2/SDL_ttf.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

constexpr const char* SYSTEM_FONT = "/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf";
// A typical leaderboard: 100 bytes, wider than the card, scrolled for 25 s.
constexpr const char* LEADERBOARD = "1. AAA 999999  2. BBB 888888  3. CCC 777777  4. DDD 666666  "
                                    "5. EEE 555555  6. FFF 444444  7. GGG 333";
// Enough frames for a whole scroll cycle of that text.
constexpr int FRAMES = 3000;

double thread_cpu_us()
{
    timespec now;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return now.tv_sec * 1e6 + now.tv_nsec / 1e3;
}

// A board root holding only the font; set before anything reads the root.
std::string make_root()
{
    std::string pattern = (fs::temp_directory_path() / "tavimoro-bench-XXXXXX").string();
    if (!mkdtemp(pattern.data()))
        return {};
    fs::create_directories(pattern + "/rom/vorlix/fonts");
    fs::copy_file(SYSTEM_FONT, pattern + "/rom/vorlix/fonts/Futura_Medium.ttf");
    setenv("TAVIMORO_ROOT", pattern.c_str(), 1);
    return pattern;
}

} // namespace

int main()
{
    std::string root = make_root();
    if (root.empty() || TTF_Init() != 0) {
        fprintf(stderr, "banner_bench: cannot set up\n");
        return 1;
    }
    init_image_thread();
    load_font();
    std::string text = LEADERBOARD;
    int width = leaderboard_init(text.data());
    std::vector<double> frames;
    for (int i = 0; i < FRAMES; i++) {
        double start = thread_cpu_us();
        ui_paint_text_scroll();
        frames.push_back(thread_cpu_us() - start);
    }
    std::sort(frames.begin(), frames.end());
    printf("scroll frame CPU time: median %.1f us, 95th percentile %.1f us, max %.1f us "
           "(%d frames, text %d px wide)\n",
           frames[FRAMES / 2], frames[FRAMES * 95 / 100], frames.back(), FRAMES, width);
    free_font();
    deinit_image_res();
    TTF_Quit();
    fs::remove_all(root);
    return 0;
}
