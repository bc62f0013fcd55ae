// The picture steps the conversions and the composed marquee share: decoding, Lanczos scaling,
// the blurred fill and writing the band, on pictures held in memory.
#pragma once

#include "banner/surface.h"
#include "host/kit/media_convert.h"

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

// A picture decoded into memory: rows top first, 4 bytes a pixel (R, G, B, A), no padding.
struct Raw {
    int width = 0;
    int height = 0;
    std::vector<uint8_t> rgba;
};

// Decodes the picture file `source` (a GIF: its first frame); 0, or -1 with GStreamer's or
// SDL_image's reason.
int decode_picture(const std::string& source, std::chrono::milliseconds limit, Raw& output, std::string& error);

// The frames of an animated picture, each whole, and how long each is shown.
struct animation {
    std::vector<Raw> frames;
    std::vector<int> delays_ms;
};
int decode_animation(const std::string& source, animation& output, std::string& error);

// `picture` on a new band as convert_picture places it.
int fit_to_band(const Raw& picture, const picture_options& options, UniqueSurface& band, std::string& error);

// The pixels of `picture`, a surface in the banner's pixel format.
Raw raw_of(const SDL_Surface* picture);

// A new opaque black band; 0, or -1 with the reason.
int new_band(UniqueSurface& band, std::string& error);

// Covers `band` with `picture` scaled to cover it and cropped, blurred to a few blocks and
// darkened, so that what is drawn in front stands out.
int paint_blurred_fill(SDL_Surface* band, const Raw& picture, std::chrono::milliseconds limit, std::string& error);

// Scales `picture` (Lanczos) to fit inside `box_width`x`box_height`, aspect kept, and blends it
// centred onto `band`.
int place_fitted(SDL_Surface* band, const Raw& picture, int box_width, int box_height, std::chrono::milliseconds limit,
                 std::string& error);

// Writes `band` as a PNG to `fd` (taken over, synced and closed here).
int write_png(SDL_Surface* band, int fd, std::string& error);
