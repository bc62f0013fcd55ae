// Glyph fallback with a board font that has Latin letters only: which font draws the other
// characters, on which baseline, and how the wrapping renderer measures them.
#include "banner/glyph_fallback.h"
#include "tests/banner/banner_fixture.h"
#include "tests/support/text_ink.h"
#include "sim/sim_board.h"

#include <filesystem>

using namespace banner_test;
namespace fs = std::filesystem;

namespace {

constexpr const char* BOARD_FONT = "/rom/vorlix/fonts/Futura_Medium.ttf";
constexpr const char* SYSTEM_FONT = "/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf";
constexpr int TITLE_POINTS = 128;
constexpr SDL_Color TEXT_COLOUR = {255, 255, 255, 255};
// Blending a run onto its line rounds the coverage by one at most.
constexpr int INK_TOLERANCE = 1;

class GlyphFallbackTest : public BannerTest {
protected:
    TTF_Font* font = nullptr;
    UniqueFont cjk;

    void TearDown() override
    {
        cjk.reset();
        BannerTest::TearDown();
    }

    void SetUp() override
    {
        BannerTest::SetUp();
        if (!fs::exists(SIM_CJK_FONT))
            GTEST_SKIP() << SIM_CJK_FONT << " is missing (Debian's fonts-wqy-microhei)";
        ASSERT_EQ(board_test::make_latin_only_font(SYSTEM_FONT, path(BOARD_FONT)), 0);
        load_font();
        font = font_futura_128.get();
        ASSERT_TRUE(font);
        cjk.reset(TTF_OpenFont(SIM_CJK_FONT, TITLE_POINTS));
        ASSERT_TRUE(cjk);
    }

    board_test::Ink ink_of(TTF_Font* by, const char* text, bool fallback = false)
    {
        UniqueSurface rendered(fallback ? render_text_blended(by, text, TEXT_COLOUR)
                                        : TTF_RenderUTF8_Blended(by, text, TEXT_COLOUR));
        return rendered ? board_test::text_ink(rendered.get()) : board_test::Ink{};
    }

    // The lowest row with ink between columns `from` and `to` of `surface`.
    static int lowest_ink(const SDL_Surface* surface, int from, int to)
    {
        for (int y = surface->h - 1; y >= 0; y--) {
            for (int x = from; x < to; x++) {
                if (static_cast<const Uint32*>(surface->pixels)[y * surface->pitch / 4 + x] >> 24)
                    return y;
            }
        }
        return -1;
    }
};

TEST_F(GlyphFallbackTest, TheFolderFontComesBeforeTheSystemFontsAndRunsShareTheBaseline)
{
    // The folder's CJK font has Cyrillic too, and comes before DejaVu Sans, which fontconfig
    // would give; its letters are drawn on the board font's baseline, as its "I" is.
    EXPECT_TRUE(board_test::same_ink(ink_of(font, "П", true), ink_of(cjk.get(), "П"), INK_TOLERANCE));
    UniqueSurface line(render_text_blended(font, "IП", TEXT_COLOUR));
    ASSERT_TRUE(line);
    int latin_width = 0, height = 0;
    TTF_SizeUTF8(font, "I", &latin_width, &height);
    EXPECT_EQ(lowest_ink(line.get(), 0, latin_width), lowest_ink(line.get(), latin_width, line->w));

    // Without it, fontconfig finds a system font for the kana: the Debian package's own file.
    free_font();
    fs::remove(path("/rom/vorlix/fonts/") + fs::path(SIM_CJK_FONT).filename().string());
    load_font();
    font = font_futura_128.get();
    EXPECT_TRUE(board_test::same_ink(ink_of(font, "ストリート", true), ink_of(cjk.get(), "ストリート"), INK_TOLERANCE));
}

TEST_F(GlyphFallbackTest, WrappingMeasuresTheFallbackGlyphsAndAnUncoveredCharacterKeepsTheBox)
{
    // Two of the three words fit; the board font's boxes are narrower, so all three would.
    int width = 0, height = 0, unused = 0;
    ASSERT_EQ(TTF_SizeUTF8(cjk.get(), "ストリート ファイター", &width, &unused), 0);
    ASSERT_EQ(size_text(font, "ストリート", &unused, &height), 0);
    UniqueSurface wrapped(
        TTF_RenderUTF8_Blended_MY(font, "ストリート ファイター ツー", TEXT_COLOUR, Uint32(width), 0));
    ASSERT_TRUE(wrapped);
    EXPECT_EQ(wrapped->h, 2 * height + 4) << "two lines";

    // No font has a glyph for U+10FFFD: the board font's own rendering, box and all.
    const char* uncovered = "A\U0010FFFD";
    UniqueSurface plain(TTF_RenderUTF8_Blended(font, uncovered, TEXT_COLOUR));
    UniqueSurface boxed(render_text_blended(font, uncovered, TEXT_COLOUR));
    ASSERT_TRUE(plain && boxed);
    ASSERT_EQ(boxed->w, plain->w);
    ASSERT_EQ(boxed->h, plain->h);
    EXPECT_EQ(memcmp(boxed->pixels, plain->pixels, size_t(plain->pitch) * plain->h), 0);
}

} // namespace
