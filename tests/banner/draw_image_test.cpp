// The current image drawn through the GL renderer on the virtual display, read back from the
// screen file.
#include "banner/leaderboard.h"
#include "display/opengl.h"
#include "tests/banner/banner_fixture.h"
#include "tests/display/display_test_support.h"

#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

using namespace banner_test;

namespace {

constexpr int SCREEN_HEIGHT = 1080;
constexpr auto NO_FRAME_WAIT = std::chrono::milliseconds(200);

class DrawImageTest : public BannerTest {
protected:
    void SetUp() override
    {
        BannerTest::SetUp();
        display_test::keep_gl_driver_loaded();
        g_evctx = {};
        g_evctx.version = 3;
        g_evctx.page_flip_handler = page_flip_handler;
        ASSERT_EQ(init_opengl(), 0);
        set_view_port(0, SCREEN_HEIGHT - BANNER_HEIGHT, BANNER_WIDTH, BANNER_HEIGHT);
        set_shader_index(SHADER_INDEX_RGBA);
    }
    void TearDown() override
    {
        deinit_opengl();
        BannerTest::TearDown();
    }

    // A composed banner picture: red left half, blue right half, centred at 1440 x 360.
    static SDL_Surface* picture()
    {
        const char* file = "/media/usbhd-sda1/vorlix/vorlix/game.png";
        write_picture(file, 1280, 320,
                      [](int x, int) { return x < 640 ? Rgba{255, 0, 0, 255} : Rgba{0, 0, 255, 255}; });
        return get_surface_picture(path(file).c_str());
    }

    // True when drawing the current image presents no new frame.
    static bool draws_nothing()
    {
        wait_flip(true);
        uint64_t before = display_test::screen_sequence();
        draw_image();
        std::this_thread::sleep_for(NO_FRAME_WAIT);
        return display_test::screen_sequence() == before;
    }
};

TEST_F(DrawImageTest, CurrentImageFillsTheBandPixelForPixel)
{
    SDL_Surface* canvas = picture();
    ASSERT_NE(canvas, nullptr);
    show_surface_image(canvas);
    std::optional<ScreenImage> screen = display_test::draw_and_show(draw_image);
    ASSERT_TRUE(screen);
    for (int y = 0; y < BANNER_HEIGHT; y += 7) {
        for (int x = 0; x < BANNER_WIDTH; x++) {
            Rgba c = pixel(canvas, x, y);
            ASSERT_EQ(board_test::pixel_at(*screen, x, y), (board_test::screen_pixel{c.r, c.g, c.b, 255}))
                << x << "," << y;
        }
    }
}

// Uploading is most of a draw's cost: a picture is uploaded when it is made current, and drawn
// from the uploaded copy until it is made current again. Pixels changed behind the module's back
// therefore show only once the surface is handed over again, as every scroll frame is.
TEST_F(DrawImageTest, APictureIsUploadedOnlyWhenItIsMadeCurrent)
{
    SDL_Surface* canvas = picture();
    ASSERT_NE(canvas, nullptr);
    show_surface_image(canvas);
    std::optional<ScreenImage> first = display_test::draw_and_show(draw_image);
    ASSERT_TRUE(first);
    const board_test::screen_pixel red = {255, 0, 0, 255};
    const board_test::screen_pixel green = {0, 255, 0, 255};
    ASSERT_EQ(board_test::pixel_at(*first, 400, 100), red);

    SDL_FillRect(canvas, nullptr, SDL_MapRGBA(canvas->format, 0, 255, 0, 255));
    std::optional<ScreenImage> again = display_test::draw_and_show(draw_image);
    ASSERT_TRUE(again) << "an unchanged picture is still drawn when asked";
    EXPECT_EQ(board_test::pixel_at(*again, 400, 100), red) << "from the copy uploaded before";

    show_surface_image(canvas);
    std::optional<ScreenImage> changed = display_test::draw_and_show(draw_image);
    ASSERT_TRUE(changed);
    EXPECT_EQ(board_test::pixel_at(*changed, 400, 100), green);
    EXPECT_EQ(board_test::pixel_at(*changed, 1700, 100), green);
}

TEST_F(DrawImageTest, NothingIsDrawnWithoutACurrentImage)
{
    EXPECT_TRUE(draws_nothing());
    SDL_Surface* canvas = picture();
    ASSERT_NE(canvas, nullptr);
    show_surface_image(canvas);
    // Releasing the canvases also lets the display go.
    free_surface_banner();
    EXPECT_TRUE(draws_nothing());
}

// The scroll drawn from tiles far narrower than the GPU takes, so that slices cross their edges,
// on a display that flips at once, so that a whole scroll is drawn in seconds.
class ScrollDrawTest : public DrawImageTest {
protected:
    void SetUp() override
    {
        setenv("TAVIMORO_TEXTURE_LIMIT", "128", 1);
        g_display_freq = 1000;
        DrawImageTest::SetUp();
    }
    void TearDown() override
    {
        DrawImageTest::TearDown();
        g_display_freq = 60;
        unsetenv("TAVIMORO_TEXTURE_LIMIT");
    }

    // Shows the scroll's next frame and returns it with the screen that shows it.
    static std::pair<scroll_frame, std::optional<ScreenImage>> show_next_frame()
    {
        lock_image_mutex();
        scroll_frame next = next_scroll_frame();
        show_scroll_frame_nolock(next);
        unlock_image_mutex();
        return {next, display_test::draw_and_show(draw_image)};
    }

    static void expect_card(const std::optional<ScreenImage>& screen, const scroll_frame& frame,
                            const std::string& which)
    {
        ASSERT_TRUE(screen) << which;
        SDL_Surface* card = paint_scroll_card(frame);
        // Rows are compared whole, and pixel by pixel only where they differ: one assertion per
        // pixel would take most of the test's time. The card is opaque, as the screen is.
        for (int y = 0; y < BANNER_HEIGHT; y++) {
            const void* card_row = static_cast<const Uint8*>(card->pixels) + y * card->pitch;
            if (memcmp(card_row, &screen->rgba[size_t(y) * screen->width * 4], BANNER_WIDTH * 4) == 0)
                continue;
            for (int x = 0; x < BANNER_WIDTH; x++) {
                Rgba c = pixel(card, x, y);
                board_test::screen_pixel expected{c.r, c.g, c.b, 255};
                if (!(board_test::pixel_at(*screen, x, y) == expected)) {
                    ASSERT_EQ(board_test::pixel_at(*screen, x, y), expected) << which << ", at " << x << "," << y;
                }
            }
        }
    }
};

// A slow build (ThreadSanitizer, qemu-arm) looks for races and the board's arithmetic, which any
// frame shows: it compares one frame in seven (a prime, so that slices still land across tile
// edges), where reading back a whole scroll took it minutes. The other builds compare every frame.
constexpr int COMPARED_FRAME_STRIDE = board_test::TEST_SLOWDOWN > 1 ? 7 : 1;

// Every frame of a whole scroll of a short text (leaving, then its head coming back) and of one
// wider than the card (body, tail, the head following the tail) is on screen exactly the card the
// software painting makes for that frame, pixel for pixel: the tiles hold the text composed over
// black by the very blit the card uses, and are drawn texel for pixel without GL blending.
TEST_F(ScrollDrawTest, EveryFrameOfAWholeScrollIsTheSoftwareCard)
{
    load_font();
    for (std::string text : {"ACE 9", "1. ACE 98500  2. JET 87200  3. SKY"}) {
        ASSERT_GT(leaderboard_init(text.data()), BANNER_WIDTH / 8) << text;
        const int frames = leaderboard_seconds(text.size()) * SCROLL_FRAMES_PER_SECOND;
        for (int frame = 0; frame < frames; frame++) {
            if (frame % COMPARED_FRAME_STRIDE != 0) {
                lock_image_mutex();
                next_scroll_frame();
                unlock_image_mutex();
                continue;
            }
            auto [next, screen] = show_next_frame();
            ASSERT_TRUE(strip_uploaded()) << "drawn from the tiles, not from a painted card";
            ASSERT_NO_FATAL_FAILURE(expect_card(screen, next, text + ", frame " + std::to_string(frame)));
        }
    }
}

// The tiles go with their text, at the next draw after it is replaced. A display that can hold no
// tile at all shows each frame painted in software.
TEST_F(ScrollDrawTest, TilesGoWithTheirTextAndTheCardIsPaintedWhereTheyCannotBeMade)
{
    load_font();
    char text[] = "ACE 9";
    leaderboard_init(text);
    show_next_frame();
    ASSERT_TRUE(strip_uploaded());
    free_surface_banner();
    leaderboard_init(text);
    draw_image();
    EXPECT_FALSE(strip_uploaded());

    deinit_opengl();
    setenv("TAVIMORO_TEXTURE_LIMIT", "0", 1);
    ASSERT_EQ(init_opengl(), 0);
    set_view_port(0, SCREEN_HEIGHT - BANNER_HEIGHT, BANNER_WIDTH, BANNER_HEIGHT);
    set_shader_index(SHADER_INDEX_RGBA);
    for (int frame = 0; frame < 2; frame++) {
        auto [next, screen] = show_next_frame();
        EXPECT_FALSE(strip_uploaded());
        expect_card(screen, next, "painted frame " + std::to_string(frame));
    }
}

} // namespace
