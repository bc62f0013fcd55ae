// Fixture for the banner's surface tests: SDL_image and SDL_ttf up, the black fill surface made,
// and helpers to write real pictures and read pixels back.
#pragma once

#include "banner/font.h"
#include "banner/image.h"
#include "banner/surface.h"
#include "tests/support/board_fixture.h"

#include <SDL2/SDL_image.h>

#include <functional>
#include <string>

namespace banner_test {

struct Rgba {
    Uint8 r, g, b, a;
    bool operator==(const Rgba&) const = default;
};

inline constexpr Rgba BLACK = {0, 0, 0, 255};
inline constexpr Rgba WHITE = {255, 255, 255, 255};

inline void PrintTo(const Rgba& c, std::ostream* os)
{
    *os << "rgba(" << int(c.r) << "," << int(c.g) << "," << int(c.b) << "," << int(c.a) << ")";
}

// The pixel at (x, y) of a surface in the banner's format (bytes R, G, B, A).
inline Rgba pixel(const SDL_Surface* surface, int x, int y)
{
    const Uint8* p = static_cast<const Uint8*>(surface->pixels) + y * surface->pitch + x * 4;
    return {p[0], p[1], p[2], p[3]};
}

class BannerTest : public board_test::BoardRootTest {
protected:
    void SetUp() override
    {
        BoardRootTest::SetUp();
        ASSERT_EQ(TTF_Init(), 0);
        IMG_Init(IMG_INIT_JPG | IMG_INIT_PNG);
        init_image_thread();
    }
    void TearDown() override
    {
        free_font();
        deinit_image_res();
        IMG_Quit();
        TTF_Quit();
        BoardRootTest::TearDown();
    }

public:
    // Writes a width x height picture to the board path `file` (PNG, or JPEG for ".jpg"), each
    // pixel coloured by `colour(x, y)`.
    static void write_picture(const std::string& file, int width, int height,
                              const std::function<Rgba(int, int)>& colour)
    {
        UniqueSurface picture = make_surface(width, height);
        ASSERT_TRUE(picture);
        for (int y = 0; y < height; y++) {
            for (int x = 0; x < width; x++) {
                Rgba c = colour(x, y);
                Uint8* p = static_cast<Uint8*>(picture->pixels) + y * picture->pitch + x * 4;
                p[0] = c.r, p[1] = c.g, p[2] = c.b, p[3] = c.a;
            }
        }
        make_dir(file.substr(0, file.rfind('/')));
        std::string out = path(file);
        bool jpeg = file.ends_with(".jpg");
        ASSERT_EQ(jpeg ? IMG_SaveJPG(picture.get(), out.c_str(), 95) : IMG_SavePNG(picture.get(), out.c_str()), 0)
            << SDL_GetError();
    }
};

} // namespace banner_test
