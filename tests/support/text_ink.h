// Text as tests look at it: a Latin-only copy of a font, as the board's own font may be, and the
// ink of white text cut to its bounds, to compare renderings wherever they were placed.
#pragma once

#include "sim/screen_capture.h"

#include <SDL2/SDL.h>

#include <cstdint>
#include <string>
#include <vector>

namespace board_test {

// Writes to `to` the font at `from` with its printable ASCII glyphs only; 0 or -1.
int make_latin_only_font(const std::string& from, const std::string& to);

struct Ink {
    int w = 0, h = 0;
    std::vector<uint8_t> coverage;  // row by row
};

// The ink of white text rendered by SDL_ttf (its alpha), or on the black band of a screen (its red).
Ink text_ink(const SDL_Surface* text);
Ink band_ink(const ScreenImage& screen, int band_height);

// True when both have ink of the same size that agrees within `tolerance` at every pixel.
bool same_ink(const Ink& a, const Ink& b, int tolerance);

} // namespace board_test
