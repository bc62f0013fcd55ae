// Frames per second of draw_frame on the virtual display: NV12 1920x1080 video frames and
// RGBA 1920x360 picture cards, drawn into the 1920x360 band as the video thread does.
#include "display/display_device.h"
#include "display/opengl.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

namespace {

constexpr int WARM_UP_FRAMES = 10;
constexpr auto RUN_TIME = std::chrono::seconds(3);

void measure(const char* name, int index, int width, int height, size_t bytes)
{
    std::vector<char> frame(bytes);
    for (size_t i = 0; i < bytes; i++)
        frame[i] = char(i * 7);
    set_shader_index(index);
    for (int i = 0; i < WARM_UP_FRAMES; i++)
        draw_frame(frame.data(), width, height);
    auto start = std::chrono::steady_clock::now();
    auto elapsed = std::chrono::steady_clock::duration::zero();
    int frames = 0;
    while (elapsed < RUN_TIME) {
        draw_frame(frame.data(), width, height);
        frames++;
        elapsed = std::chrono::steady_clock::now() - start;
    }
    double seconds = std::chrono::duration<double>(elapsed).count();
    printf("draw_frame %s %dx%d: %.1f frames/s (%d frames in %.2f s)\n", name, width, height, frames / seconds, frames,
           seconds);
}

} // namespace

int main()
{
    // The virtual display needs a board root without a card node: a private temporary one.
    std::string root = (std::filesystem::temp_directory_path() / "tavimoro-bench-XXXXXX").string();
    if (!mkdtemp(root.data())) {
        perror("mkdtemp");
        return 1;
    }
    setenv("TAVIMORO_ROOT", root.c_str(), 1);
    g_evctx.version = 3;
    g_evctx.page_flip_handler = page_flip_handler;
    int status = 1;
    if (init_opengl() == 0) {
        set_view_port(0, 720, 1920, 360);
        measure("NV12", SHADER_INDEX_NV12, 1920, 1080, size_t(1920) * 1080 * 3 / 2);
        measure("RGBA", SHADER_INDEX_RGBA, 1920, 360, size_t(1920) * 360 * 4);
        deinit_opengl();
        status = 0;
    }
    std::filesystem::remove_all(root);
    return status;
}
