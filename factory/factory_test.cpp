// The factory test: finds the marker, and steps the screen through white, red, green, blue,
// black and the version card on each press of the recovery key.
#include "factory/factory_test.h"

#include "banner/image.h"
#include "core/board_root.h"
#include "core/common.h"
#include "display/video.h"

#include <dirent.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

namespace {

constexpr const char* MEDIA_PATH = "/media";
constexpr const char* MARKER_FILE = "vorlix_factory_test.txt";
constexpr size_t VERSION_SIZE = 256;
constexpr const char* LINE_BREAKS = "\r\n";

struct color_step {
    float r, g, b;
};

// One entry per key press; the version card follows the last colour.
constexpr color_step COLOR_STEPS[] = {
    {1, 1, 1},  // white
    {1, 0, 0},  // red
    {0, 1, 0},  // green
    {0, 0, 1},  // blue
    {0, 0, 0},  // black
};
constexpr int VERSION_STEP = sizeof COLOR_STEPS / sizeof COLOR_STEPS[0];

struct DirCloser {
    void operator()(DIR* dir) const { closedir(dir); }
};

// Touched only by the main thread.
int factory_index;
char version[VERSION_SIZE];
SDL_Surface* surface_text;

void show_color(const color_step& color)
{
    // The colour is stored before the mode switch, so the colour mode never shows an old one.
    set_video_color(color.r, color.g, color.b);
    show_color_mode();
}

} // namespace

int find_factory_file()
{
    std::string media = board_path(MEDIA_PATH);
    std::unique_ptr<DIR, DirCloser> dir(opendir(media.c_str()));
    if (!dir)
        return 0;
    while (const dirent* entry = readdir(dir.get())) {
        std::string name = entry->d_name;
        if (name == "." || name == "..")
            continue;
        std::string path = media + "/" + name;
        struct stat st;
        bool is_dir = stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
        printf("find path %s\n", path.c_str());
        if (!is_dir)
            continue;
        std::string marker = path + "/" + MARKER_FILE;
        // A marker path too long for the board's path buffers is not looked for.
        if (marker.size() >= PATH_BUF_SIZE || !file_exist(marker.c_str()))
            continue;
        printf("found package of %s.\n", marker.c_str());
        return 1;
    }
    return 0;
}

void init_factory_reset()
{
    show_color(COLOR_STEPS[0]);
    factory_index = 1;
    // A longer version text is cut to fit.
    get_system_version(version, sizeof version);
    printf("%s: %s\n", __func__, version);
}

void factory_reset()
{
    if (factory_index >= 0 && factory_index < VERSION_STEP) {
        show_color(COLOR_STEPS[factory_index]);
        factory_index++;
    } else if (factory_index == VERSION_STEP) {
        get_surface_text(version);
        if (surface_text) {
            show_surface_image(surface_text);
            show_image_mode();
        }
        factory_index = 0;
    }
}

void get_surface_text(char* text)
{
    // The card holds one line: a line break would be drawn as a missing-glyph box, so the card
    // shows the text up to its first line break (the version file ends with one).
    std::string line(text, strcspn(text, LINE_BREAKS));
    surface_text = get_surface_version(line.c_str());
}
