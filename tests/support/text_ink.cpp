// Latin-only fonts made with HarfBuzz's subsetter, and text compared by its ink.
#include "tests/support/text_ink.h"

#include <hb-subset.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <memory>

namespace board_test {

namespace {

constexpr hb_codepoint_t FIRST_PRINTABLE = 0x20;
constexpr hb_codepoint_t LAST_PRINTABLE = 0x7E;

template <auto Free>
struct HbFree {
    void operator()(auto* object) const { Free(object); }
};

// The pixels of a width x height image whose coverage `at` gives, cut to the box of the non-zero ones.
Ink cut_ink(int width, int height, const std::function<uint8_t(int, int)>& at)
{
    int left = width, right = -1, top = height, bottom = -1;
    for (int y = 0; y < height; y++) {
        for (int x = 0; x < width; x++) {
            if (at(x, y) != 0) {
                left = std::min(left, x);
                right = std::max(right, x);
                top = std::min(top, y);
                bottom = std::max(bottom, y);
            }
        }
    }
    Ink ink;
    if (right < 0)
        return ink;
    ink.w = right - left + 1;
    ink.h = bottom - top + 1;
    for (int y = top; y <= bottom; y++) {
        for (int x = left; x <= right; x++)
            ink.coverage.push_back(at(x, y));
    }
    return ink;
}

} // namespace

int make_latin_only_font(const std::string& from, const std::string& to)
{
    std::unique_ptr<hb_blob_t, HbFree<hb_blob_destroy>> blob(hb_blob_create_from_file_or_fail(from.c_str()));
    if (!blob)
        return -1;
    std::unique_ptr<hb_face_t, HbFree<hb_face_destroy>> face(hb_face_create(blob.get(), 0));
    std::unique_ptr<hb_subset_input_t, HbFree<hb_subset_input_destroy>> input(hb_subset_input_create_or_fail());
    if (!input)
        return -1;
    hb_set_add_range(hb_subset_input_unicode_set(input.get()), FIRST_PRINTABLE, LAST_PRINTABLE);
    std::unique_ptr<hb_face_t, HbFree<hb_face_destroy>> subset(hb_subset_or_fail(face.get(), input.get()));
    if (!subset)
        return -1;
    std::unique_ptr<hb_blob_t, HbFree<hb_blob_destroy>> data(hb_face_reference_blob(subset.get()));
    unsigned int length = 0;
    const char* bytes = hb_blob_get_data(data.get(), &length);
    std::ofstream out(to, std::ios::binary | std::ios::trunc);
    out.write(bytes, length);
    return out.good() && length > 0 ? 0 : -1;
}

Ink text_ink(const SDL_Surface* text)
{
    return cut_ink(text->w, text->h, [&](int x, int y) {
        Uint32 pixel = static_cast<const Uint32*>(text->pixels)[y * text->pitch / 4 + x];
        return static_cast<uint8_t>((pixel & text->format->Amask) >> text->format->Ashift);
    });
}

Ink band_ink(const ScreenImage& screen, int band_height)
{
    return cut_ink(static_cast<int>(screen.width), std::min(band_height, static_cast<int>(screen.height)),
                   [&](int x, int y) { return screen.rgba[(size_t(y) * screen.width + x) * 4]; });
}

bool same_ink(const Ink& a, const Ink& b, int tolerance)
{
    if (a.w != b.w || a.h != b.h || a.w == 0)
        return false;
    return std::equal(a.coverage.begin(), a.coverage.end(), b.coverage.begin(),
                      [&](uint8_t p, uint8_t q) { return std::abs(int(p) - int(q)) <= tolerance; });
}

} // namespace board_test
