// Picture and title composition, checked pixel by pixel on pictures decoded by SDL_image.
#include "tests/banner/banner_fixture.h"

#include <string>

using namespace banner_test;

namespace {

constexpr Rgba RED = {255, 0, 0, 255};
constexpr Rgba BLUE = {0, 0, 255, 255};
constexpr Rgba GREEN = {0, 255, 0, 255};
constexpr const char* PICTURE = "/media/usbhd-sda1/vorlix/vorlix/game.png";

class ImageTest : public BannerTest {
protected:
    // Composes the picture file, capturing the trace.
    SDL_Surface* compose(const std::string& file, std::string* log = nullptr)
    {
        testing::internal::CaptureStdout();
        SDL_Surface* canvas = get_surface_picture(path(file).c_str());
        std::string out = testing::internal::GetCapturedStdout();
        if (log)
            *log = out;
        return canvas;
    }

    // Every pixel of rows [top, bottom) and columns [left, right) of `canvas` is `colour`.
    static void expect_area(const SDL_Surface* canvas, int left, int right, int top, int bottom, Rgba colour)
    {
        for (int y = top; y < bottom; y++)
            for (int x = left; x < right; x++)
                if (pixel(canvas, x, y) != colour)
                    FAIL() << "at " << x << "," << y << ": " << testing::PrintToString(pixel(canvas, x, y));
    }

    // Bounding box of the pixels of `surface` that `lit` accepts; w 0 when there are none.
    static SDL_Rect lit_box(const SDL_Surface* surface, const std::function<bool(int, int)>& lit)
    {
        int left = surface->w, right = -1, top = surface->h, bottom = -1;
        for (int y = 0; y < surface->h; y++)
            for (int x = 0; x < surface->w; x++)
                if (lit(x, y))
                    left = std::min(left, x), right = std::max(right, x), top = std::min(top, y),
                    bottom = std::max(bottom, y);
        return right < 0 ? SDL_Rect{0, 0, 0, 0} : SDL_Rect{left, top, right - left + 1, bottom - top + 1};
    }

    // Where the text shows on `canvas`, and where it would show placed centred from `rendered`.
    static void expect_centred(const SDL_Surface* canvas, SDL_Surface* rendered)
    {
        ASSERT_NE(rendered, nullptr);
        SDL_Rect ink = lit_box(rendered, [&](int x, int y) {
            Uint32 word = static_cast<const Uint32*>(rendered->pixels)[y * rendered->pitch / 4 + x];
            return (word >> 24) != 0;
        });
        SDL_Rect shown = lit_box(canvas, [&](int x, int y) { return pixel(canvas, x, y) != BLACK; });
        ASSERT_GT(ink.w, 0);
        EXPECT_EQ(shown.x, ink.x + (BANNER_WIDTH - rendered->w) / 2);
        EXPECT_EQ(shown.y, ink.y + (BANNER_HEIGHT - rendered->h) / 2);
        EXPECT_EQ(shown.w, ink.w);
        EXPECT_EQ(shown.h, ink.h);
        SDL_FreeSurface(rendered);
    }
};

TEST_F(ImageTest, BannerSizedPictureFillsTheCanvas)
{
    write_picture(PICTURE, 1920, 360, [](int x, int y) { return x < 960 ? (y < 180 ? RED : GREEN) : BLUE; });
    std::string log;
    SDL_Surface* canvas = compose(PICTURE, &log);
    ASSERT_NE(canvas, nullptr);
    EXPECT_EQ(canvas->w, BANNER_WIDTH);
    EXPECT_EQ(canvas->h, BANNER_HEIGHT);
    EXPECT_EQ(canvas->format->format, SURFACE_FORMAT);
    expect_area(canvas, 0, 960, 0, 180, RED);
    expect_area(canvas, 0, 960, 180, 360, GREEN);
    expect_area(canvas, 960, 1920, 0, 360, BLUE);
    EXPECT_EQ(log, "get_surface_picture: pic width 1920, pic height 360\n"
                   "get_surface_picture: keep scaled picture\n");
}

TEST_F(ImageTest, NarrowerPictureIsScaledToTheBannerHeightAndCentred)
{
    write_picture(PICTURE, 1280, 320, [](int x, int) { return x < 640 ? RED : BLUE; });
    SDL_Surface* canvas = compose(PICTURE);
    ASSERT_NE(canvas, nullptr);
    // 1440 x 360 at x = 240; the scaled halves meet within a pixel of the middle.
    expect_area(canvas, 0, 240, 0, 360, BLACK);
    expect_area(canvas, 240, 959, 0, 360, RED);
    expect_area(canvas, 961, 1680, 0, 360, BLUE);
    expect_area(canvas, 1680, 1920, 0, 360, BLACK);
}

TEST_F(ImageTest, WiderKeptAspectIsSqueezedToTheBannerWidth)
{
    write_picture(PICTURE, 2400, 400, [](int x, int) { return x < 1200 ? RED : BLUE; });
    SDL_Surface* canvas = compose(PICTURE);
    ASSERT_NE(canvas, nullptr);
    expect_area(canvas, 0, 959, 0, 360, RED);
    expect_area(canvas, 961, 1920, 0, 360, BLUE);
}

TEST_F(ImageTest, OtherRatiosAreCopiedUnscaledAtTheTopLeft)
{
    write_picture(PICTURE, 1920, 1080, [](int, int y) { return y < 360 ? GREEN : BLUE; });
    std::string log;
    SDL_Surface* canvas = compose(PICTURE, &log);
    ASSERT_NE(canvas, nullptr);
    expect_area(canvas, 0, 1920, 0, 360, GREEN);
    EXPECT_EQ(log, "get_surface_picture: pic width 1920, pic height 1080\n"
                   "get_surface_picture: scaled picture\n");

    write_picture(PICTURE, 2560, 360, [](int x, int) { return x < 1920 ? RED : BLUE; });
    canvas = compose(PICTURE);
    ASSERT_NE(canvas, nullptr);
    expect_area(canvas, 0, 1920, 0, 360, RED);

    // A small picture leaves the rest of the fresh canvas black.
    write_picture(PICTURE, 100, 100, [](int, int) { return BLUE; });
    canvas = compose(PICTURE);
    ASSERT_NE(canvas, nullptr);
    expect_area(canvas, 0, 100, 0, 100, BLUE);
    expect_area(canvas, 100, 1920, 0, 360, BLACK);
    expect_area(canvas, 0, 100, 100, 360, BLACK);
}

TEST_F(ImageTest, TransparentAreasShowBlack)
{
    write_picture(PICTURE, 1920, 360, [](int x, int) { return x < 960 ? Rgba{255, 255, 255, 0} : RED; });
    SDL_Surface* canvas = compose(PICTURE);
    ASSERT_NE(canvas, nullptr);
    expect_area(canvas, 0, 960, 0, 360, BLACK);
    expect_area(canvas, 960, 1920, 0, 360, RED);
}

TEST_F(ImageTest, JpegPicturesAreDecoded)
{
    const char* jpeg = "/media/usbhd-sda1/vorlix/vorlix/game.jpg";
    write_picture(jpeg, 1920, 360, [](int, int) { return Rgba{200, 100, 50, 255}; });
    SDL_Surface* canvas = compose(jpeg);
    ASSERT_NE(canvas, nullptr);
    for (auto [x, y] : {std::pair{0, 0}, {960, 180}, {1919, 359}}) {
        Rgba c = pixel(canvas, x, y);
        EXPECT_NEAR(c.r, 200, 3);
        EXPECT_NEAR(c.g, 100, 3);
        EXPECT_NEAR(c.b, 50, 3);
        EXPECT_EQ(c.a, 255);
    }
}

TEST_F(ImageTest, UnloadablePictureGivesNoneAndLeavesTheCanvas)
{
    write_picture(PICTURE, 1920, 360, [](int, int) { return RED; });
    SDL_Surface* canvas = compose(PICTURE);
    ASSERT_NE(canvas, nullptr);
    write_file("/media/usbhd-sda1/vorlix/vorlix/broken.png", "not a picture");
    EXPECT_EQ(compose("/media/usbhd-sda1/vorlix/vorlix/broken.png"), nullptr);
    EXPECT_EQ(compose("/media/usbhd-sda1/vorlix/vorlix/missing.jpg"), nullptr);
    expect_area(canvas, 0, 1920, 0, 360, RED);
}

TEST_F(ImageTest, TitleIsCentredBothWaysOnBlack)
{
    load_font();
    ASSERT_TRUE(font_futura_128);
    SDL_Surface* card = get_surface_title("Sonic");
    ASSERT_NE(card, nullptr);
    EXPECT_EQ(card->format->format, SURFACE_FORMAT);
    expect_centred(card, TTF_RenderUTF8_Blended(font_futura_128.get(), "Sonic", {255, 255, 255, 255}));
    expect_area(card, 0, 1920, 0, 40, BLACK);
    EXPECT_EQ(pixel(card, 1919, 359), BLACK);
}

TEST_F(ImageTest, TitleThatRendersNothingGivesABlackCard)
{
    // No font loaded, then an empty text with the font.
    for (bool with_font : {false, true}) {
        if (with_font)
            load_font();
        SDL_Surface* card = get_surface_title(with_font ? "" : "Sonic");
        ASSERT_NE(card, nullptr);
        expect_area(card, 0, 1920, 0, 360, BLACK);
    }
}

TEST_F(ImageTest, StaticLeaderboardIsWrappedAndCentred)
{
    load_font();
    ASSERT_TRUE(font_futura_64);
    std::string text = "1. AAA 999999\n2. BBB 888888\n3. CCC 777777 and a line long enough to be wrapped "
                       "at a word boundary because it is wider than the card";
    testing::internal::CaptureStdout();
    SDL_Surface* card = get_surface_leaderboard(text.c_str());
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "get_surface_leaderboard: " + text + "\n");
    ASSERT_NE(card, nullptr);
    expect_centred(card, TTF_RenderUTF8_Blended_MY(font_futura_64.get(), text.c_str(), {255, 255, 255, 255},
                                                   BANNER_WIDTH, 1));
}

TEST_F(ImageTest, FreedCanvasesAreMadeAfresh)
{
    write_picture(PICTURE, 100, 100, [](int, int) { return BLUE; });
    ASSERT_NE(compose(PICTURE), nullptr);
    free_surface_banner();
    write_picture(PICTURE, 50, 50, [](int, int) { return RED; });
    SDL_Surface* canvas = compose(PICTURE);
    ASSERT_NE(canvas, nullptr);
    expect_area(canvas, 0, 50, 0, 50, RED);
    expect_area(canvas, 50, 100, 0, 100, BLACK);
}

} // namespace
