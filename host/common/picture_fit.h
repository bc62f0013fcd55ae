// The host tool's picture module: fits a picture to the banner before it travels. Only the
// `image` command loads it, so that the tool's other commands start without SDL and its
// libraries.
#pragma once

#include <cstdint>
#include <vector>

struct fitted_picture {
    std::vector<uint8_t> bytes;  // the picture file to send
    bool jpeg = false;           // a JPEG, else a PNG
    const char* made = "";       // how: "as it is", "fitted, as PNG" or "fitted, as JPEG"
    int width = 0, height = 0;   // of the picture given
};

// 0 with `out` filled; -1 when `file` is no PNG or JPEG the board would decode.
using fit_picture_function = int (*)(const std::vector<uint8_t>& file, fitted_picture& out);

inline constexpr const char* FIT_PICTURE_SYMBOL = "tavimoro_fit_picture";
