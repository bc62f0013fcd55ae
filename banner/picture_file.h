// Loading pictures from outside (the USB disk, the host) with bounded memory: the dimensions are
// read from the file's header, and a picture too large to decode safely is refused unread.
#pragma once

#include "banner/surface.h"

#include <cstdint>

// The most pixels a picture may have: 4K UHD (3840×2160), which lets every screen-sized picture
// through. Decoding one this size and converting it to the canvas format raises the player's
// peak memory by about 70 MB (two 33 MB surfaces; a progressive JPEG adds its coefficients).
inline constexpr int64_t PICTURE_MAX_PIXELS = 3840 * 2160;

enum class picture_type { png, jpeg };

struct picture_header {
    picture_type type;
    int width;
    int height;
};

// Reads the type and dimensions of a PNG or JPEG from `source`'s header, leaving the read position
// where it was; 0, or -1 when it is neither or its header is cut short or broken.
int read_picture_header(SDL_RWops* source, picture_header* header);

// Decodes a PNG or JPEG from `source` (closed here) when its header is within the limit, else
// logs one line with `name` and the dimensions. The picture, or null.
UniqueSurface load_picture_source(SDL_RWops* source, const char* name);
// The same for the file at `path`.
UniqueSurface load_picture_file(const char* path);
