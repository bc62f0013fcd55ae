// Reading the virtual display's screen file (ROOT/sim/screen) and saving it as a picture.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct ScreenImage {
    uint32_t width = 0;
    uint32_t height = 0;
    uint64_t sequence = 0;
    std::vector<uint8_t> rgba;  // rows top first, 4 bytes a pixel: R, G, B, A
};

// Copies the last complete frame; 0, or -1 when there is none (no file, or no stable frame
// within a few tries because the writer kept overwriting it).
int read_screen(const std::string& file, ScreenImage& image);

// The sequence of the frame in the screen file, read from its header alone: cheap enough to watch
// for a new frame without copying every frame. -1 when there is no screen file.
int64_t read_screen_sequence(const std::string& file);

// The mean absolute difference of the first `bytes` bytes of two frames' pixels: how much what
// the screen shows has changed. 0 when either frame holds fewer.
double mean_difference(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b, size_t bytes);

// Saves the top `rows` rows (all when 0) as a PNG file; 0 or -1.
int save_screen_png(const ScreenImage& image, const std::string& file, uint32_t rows);

// A picture file decoded into the same layout as a screen; 0, or -1 when it cannot be loaded.
int load_picture(const std::string& file, ScreenImage& picture);

// True when the screen shows `picture` at its top-left corner: every point of a 64-pixel grid
// over the picture matches within `tolerance` in each colour.
bool screen_shows(const ScreenImage& screen, const ScreenImage& picture, int tolerance);
