// The composed marquee: a game with no marquee of its own, but a logo and a screen or fan art,
// gets its logo over its art, drawn as build writes it, the preview and the coverage page show it.
#pragma once

#include "banner/surface.h"
#include "host/kit/media_convert.h"

#include <chrono>
#include <string>
#include <vector>

struct composition {
    std::string art;                 // filled to the band, blurred and darkened
    std::vector<std::string> logos;  // the first that decodes is fitted in front
    std::string title;               // drawn instead when no logo decodes, as the board keeps it
};

// The banner's fonts, opened from the board root while one lives: the title of a composed band
// is drawn in the board's own title font. The caller has set up the board root.
class TitleFonts {
public:
    TitleFonts();
    ~TitleFonts();
    TitleFonts(const TitleFonts&) = delete;
    TitleFonts& operator=(const TitleFonts&) = delete;
};

// Draws the composed band of `parts` into a new surface; 0, or -1 with `error` saying why (the
// art does not decode).
int compose_band(const composition& parts, std::chrono::milliseconds limit, UniqueSurface& band, std::string& error);

// The composed band written as a PNG to the open, empty file `fd` (taken over, closed here).
int convert_composed(const composition& parts, int fd, const picture_options& options, std::string& error);
