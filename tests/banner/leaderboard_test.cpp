// The scrolling leaderboard, frame by frame: a text whose every column has its own colour shows
// exactly which columns of the text each frame puts where.
#include "banner/leaderboard.h"
#include "tests/banner/banner_fixture.h"

#include <string>
#include <vector>

using namespace banner_test;

namespace {

constexpr int TEXT_HEIGHT = 100;
constexpr int TEXT_TOP = (BANNER_HEIGHT - TEXT_HEIGHT) / 2;
constexpr Uint8 MARK = 77;

// Columns [first, first + count) of the text drawn with the first at card column x.
struct Span {
    int first, count, x;
};

class ScrollTest : public BannerTest {
protected:
    // Installs a text `width` columns wide in place of a rendered one, each column coloured by
    // its index, and rewinds the scroll.
    static void install_text(int width)
    {
        surface_leaderboard_text_all = make_surface(width, TEXT_HEIGHT);
        ASSERT_TRUE(surface_leaderboard_text_all);
        SDL_Surface* text = surface_leaderboard_text_all.get();
        for (int y = 0; y < TEXT_HEIGHT; y++) {
            for (int x = 0; x < width; x++) {
                Uint8* p = static_cast<Uint8*>(text->pixels) + y * text->pitch + x * 4;
                p[0] = x & 0xFF, p[1] = x >> 8, p[2] = MARK, p[3] = 255;
            }
        }
        leaderboard_reset();
    }

    // Text column shown at card column x on row y, or -1 where the card is black.
    static int column_at(const SDL_Surface* card, int x, int y)
    {
        Rgba c = pixel(card, x, y);
        if (c == BLACK)
            return -1;
        EXPECT_EQ(c.b, MARK) << "at " << x;
        return c.r | c.g << 8;
    }

    // Paints one frame and checks it shows exactly `runs` on the text rows, and black elsewhere.
    static void expect_frame(const std::vector<Span>& runs, const std::string& which)
    {
        SDL_Surface* card = ui_paint_text_scroll();
        ASSERT_NE(card, nullptr);
        std::vector<int> expected(BANNER_WIDTH, -1);
        for (const Span& run : runs)
            for (int i = 0; i < run.count; i++)
                if (run.x + i >= 0 && run.x + i < BANNER_WIDTH)
                    expected[run.x + i] = run.first + i;
        for (int y : {TEXT_TOP, TEXT_TOP + TEXT_HEIGHT - 1})
            for (int x = 0; x < BANNER_WIDTH; x++)
                ASSERT_EQ(column_at(card, x, y), expected[x]) << which << ", card column " << x;
        for (int y : {0, TEXT_TOP - 1, TEXT_TOP + TEXT_HEIGHT, BANNER_HEIGHT - 1})
            for (int x = 0; x < BANNER_WIDTH; x++)
                ASSERT_EQ(pixel(card, x, y), BLACK) << which << ", row " << y;
    }
};

TEST_F(ScrollTest, NarrowTextLeavesAndComesBackWhereItsEndWas)
{
    install_text(300);
    for (int frame = 1; frame <= 100; frame++)
        expect_frame({{3 * frame, 300 - 3 * frame, 0}}, "leaving frame " + std::to_string(frame));
    // Back with its left edge at 297, then 3 pixels a frame to the left edge.
    for (int k = 99; k >= 0; k--)
        expect_frame({{0, 300, 3 * k}}, "returning, k " + std::to_string(k));
    expect_frame({{0, 300, 0}}, "resting");
    expect_frame({{3, 297, 0}}, "next cycle");
}

TEST_F(ScrollTest, WideTextScrollsBodyTailAndReturningHead)
{
    const int width = 3000;
    install_text(width);
    for (int frame = 1; frame <= 360; frame++)
        expect_frame({{3 * frame, BANNER_WIDTH, 0}}, "body frame " + std::to_string(frame));
    for (int tail = 1; tail <= 640; tail++) {
        int vx = 1080 + 3 * tail, vw = width - vx;
        std::vector<Span> runs = {{vx, vw, 0}};
        // The head is in view during the last 427 tail frames, 639 pixels behind the tail.
        if (tail > 213)
            runs.push_back({0, 1281 - vw, vw + 639});
        expect_frame(runs, "tail frame " + std::to_string(tail));
    }
    for (int k = 212; k >= 0; k--)
        expect_frame({{0, BANNER_WIDTH - 3 * k, 3 * k}}, "head frame, k " + std::to_string(k));
    expect_frame({{0, BANNER_WIDTH, 0}}, "resting");
    expect_frame({{3, BANNER_WIDTH, 0}}, "next cycle");
}

TEST_F(ScrollTest, FirstFrameAfterAResetIsAlreadyShifted)
{
    install_text(3000);
    for (int frame = 0; frame < 500; frame++)
        ui_paint_text_scroll();
    leaderboard_reset();
    expect_frame({{3, BANNER_WIDTH, 0}}, "first frame");
}

TEST_F(ScrollTest, RenderedTextIsWhiteAndCentredInTheCard)
{
    load_font();
    char text[] = "1. AAA 100000";
    int width = leaderboard_init(text);
    int w = 0, h = 0;
    TTF_SizeUTF8(font_futura_128.get(), text, &w, &h);
    EXPECT_EQ(width, w);
    ASSERT_TRUE(surface_leaderboard_text_all);
    EXPECT_EQ(surface_leaderboard_text_all->format->format, SURFACE_FORMAT);
    EXPECT_STREQ(leaderboard_text, text);
    SDL_Surface* card = ui_paint_text_scroll();
    bool white = false;
    for (int y = 0; y < BANNER_HEIGHT; y++)
        for (int x = 0; x < BANNER_WIDTH; x++)
            white = white || pixel(card, x, y) == WHITE;
    EXPECT_TRUE(white);
    int top = (BANNER_HEIGHT - surface_leaderboard_text_all->h) / 2;
    for (int x = 0; x < BANNER_WIDTH; x++)
        ASSERT_EQ(pixel(card, x, top - 1), BLACK);
}

TEST_F(ScrollTest, TextOf4095BytesIsTakenAndOf4096Refused)
{
    // Without the font nothing is rendered, so the length rule is all that decides.
    EXPECT_STREQ(leaderboard_text, "Leaderboard");
    std::string longest(LEADERBOARD_TEXT_SIZE - 1, 'a');
    EXPECT_EQ(leaderboard_init(longest.data()), 0);
    EXPECT_EQ(leaderboard_text, longest);
    std::string too_long(LEADERBOARD_TEXT_SIZE, 'b');
    EXPECT_EQ(leaderboard_init(too_long.data()), -1);
    EXPECT_EQ(leaderboard_text, longest);

    // A text that cannot be rendered scrolls a black card.
    SDL_Surface* card = ui_paint_text_scroll();
    ASSERT_NE(card, nullptr);
    expect_frame({}, "nothing rendered");
}

} // namespace
