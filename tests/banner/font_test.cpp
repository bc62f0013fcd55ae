// Word wrapping: which lines a text breaks into and where each is placed, compared with the
// lines rendered one by one.
#include "tests/banner/banner_fixture.h"

#include <string>
#include <vector>

using namespace banner_test;

namespace {

constexpr SDL_Color TEXT_COLOUR = {255, 255, 255, 255};
constexpr int ALIGN_LEFT = 0;
constexpr int ALIGN_CENTRE = 1;
constexpr int LINE_SPACING = 4;

Uint32 word_at(const SDL_Surface* surface, int x, int y)
{
    return static_cast<const Uint32*>(surface->pixels)[y * surface->pitch / 4 + x];
}

class FontTest : public BannerTest {
protected:
    TTF_Font* font = nullptr;

    void SetUp() override
    {
        BannerTest::SetUp();
        load_font();
        font = font_futura_64.get();
        ASSERT_NE(font, nullptr);
    }

    int width_of(const char* text)
    {
        int w = 0, h = 0;
        TTF_SizeUTF8(font, text, &w, &h);
        return w;
    }

    int line_height()
    {
        int w = 0, h = 0;
        TTF_SizeUTF8(font, "x", &w, &h);
        return h;
    }

    // Wraps `text` and checks that the result is exactly `lines`, each rendered on its own and
    // placed as the alignment says, over the text colour at alpha 0.
    void expect_lines(const char* text, Uint32 wrap, int alignment, const std::vector<std::string>& lines)
    {
        UniqueSurface result(TTF_RenderUTF8_Blended_MY(font, text, TEXT_COLOUR, wrap, alignment));
        ASSERT_TRUE(result) << SDL_GetError();
        int count = static_cast<int>(lines.size());
        ASSERT_EQ(result->w, static_cast<int>(wrap));
        ASSERT_EQ(result->h, count * line_height() + (count - 1) * LINE_SPACING) << "line count";
        std::vector<Uint8> expected(result->w * result->h, 0);
        for (int i = 0; i < count; i++) {
            UniqueSurface line(TTF_RenderUTF8_Blended(font, lines[i].empty() ? " " : lines[i].c_str(), TEXT_COLOUR));
            ASSERT_TRUE(line);
            int left = alignment == ALIGN_CENTRE ? (static_cast<int>(wrap) - line->w) / 2 : 0;
            int top = alignment == ALIGN_CENTRE ? i * line->h : i * (line->h + LINE_SPACING);
            for (int y = 0; y < line->h; y++)
                for (int x = 0; x < line->w; x++)
                    if (left + x >= 0 && left + x < result->w && top + y < result->h)
                        expected[(top + y) * result->w + left + x] = word_at(line.get(), x, y) >> 24;
        }
        for (int y = 0; y < result->h; y++) {
            for (int x = 0; x < result->w; x++) {
                // The blend rounds by a step or two.
                Uint32 word = word_at(result.get(), x, y);
                ASSERT_NEAR(int(word >> 24), expected[y * result->w + x], 2) << "alpha at " << x << "," << y;
                for (int shift : {0, 8, 16})
                    ASSERT_GE((word >> shift) & 0xFF, 250u) << "colour at " << x << "," << y;
            }
        }
    }
};

TEST_F(FontTest, SoftBreakDropsTheDelimitersHardBreakKeepsLeadingSpaces)
{
    Uint32 wrap = width_of("alpha beta") + 10;
    ASSERT_LT(wrap, static_cast<Uint32>(width_of("alpha beta gamma")));
    expect_lines("alpha beta gamma", wrap, ALIGN_LEFT, {"alpha beta", "gamma"});
    expect_lines("alpha beta  \t gamma", wrap, ALIGN_LEFT, {"alpha beta", "gamma"});
    expect_lines("alpha\n  beta", 1000, ALIGN_LEFT, {"alpha", "  beta"});
}

TEST_F(FontTest, TwoLineFeedsMakeABlankLineOfFullHeight)
{
    expect_lines("alpha\n\nbeta", 1000, ALIGN_LEFT, {"alpha", "", "beta"});
}

TEST_F(FontTest, FirstWordWiderThanTheWidthStandsAlone)
{
    Uint32 wrap = width_of("ab cd") + 5;
    ASSERT_GT(width_of("Supercalifragilistic"), static_cast<int>(wrap));
    expect_lines("Supercalifragilistic ab cd", wrap, ALIGN_LEFT, {"Supercalifragilistic", "ab cd"});
    // Cut at both sides when centred.
    expect_lines("Supercalifragilistic ab cd", wrap, ALIGN_CENTRE, {"Supercalifragilistic", "ab cd"});
}

TEST_F(FontTest, CarriageReturnEndsTheLineBeforeAnyLineFeed)
{
    expect_lines("ab\r\ncd", 1000, ALIGN_LEFT, {"ab", "cd"});
    // An LF ahead of the first CR does not end the line.
    expect_lines("ab\ncd\ref", 1000, ALIGN_LEFT, {"ab\ncd", "ef"});
}

TEST_F(FontTest, CentredLinesSitInTheMiddleOfTheWrapWidth)
{
    expect_lines("1. AAA 999999\n2. BB 1", BANNER_WIDTH, ALIGN_CENTRE, {"1. AAA 999999", "2. BB 1"});
    expect_lines("1. AAA 999999\n2. BB 1", BANNER_WIDTH, ALIGN_LEFT, {"1. AAA 999999", "2. BB 1"});
}

TEST_F(FontTest, EmptyTextGivesNoSurface)
{
    SDL_ClearError();
    EXPECT_EQ(TTF_RenderUTF8_Blended_MY(font, "", TEXT_COLOUR, 100, ALIGN_LEFT), nullptr);
    EXPECT_STREQ(SDL_GetError(), "Text has zero width");
}

TEST_F(FontTest, FontsOpenFromTheBoardFileAndMissingOnesStayAbsent)
{
    EXPECT_TRUE(font_futura_256 && font_futura_128 && font_futura_64);
    EXPECT_GT(TTF_FontHeight(font_futura_128.get()), TTF_FontHeight(font_futura_64.get()));
    free_font();
    EXPECT_FALSE(font_futura_256 || font_futura_128 || font_futura_64);

    remove("/rom/vorlix/fonts/Futura_Medium.ttf");
    testing::internal::CaptureStdout();
    EXPECT_EQ(load_font(), 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "load_font: open font fail\n"
              "load_font: open font fail\n"
              "load_font: open font fail\n");
    EXPECT_FALSE(font_futura_256 || font_futura_128 || font_futura_64);
}

} // namespace
