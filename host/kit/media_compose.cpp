// The composed marquee: the art filled to the band and blurred (the same fill as --fit blur),
// the logo fitted in front with a margin, or the game's title where no logo decodes.
#include "host/kit/media_compose.h"

#include "banner/font.h"
#include "banner/glyph_fallback.h"
#include "host/kit/media_picture.h"

#include <unistd.h>

#include <algorithm>
#include <mutex>

namespace {

// The logo or title stays inside the band by this much on every side: it reads as a sign on the
// art, not as the art cut off.
constexpr int MARGIN_X = 120;
constexpr int MARGIN_Y = 40;
constexpr SDL_Color WHITE = {255, 255, 255, 255};

// The title as the board draws its title card (one line, white, the title font), or nothing
// without the font.
bool render_title(const std::string& title, Raw& text)
{
    std::lock_guard lock(font_mutex);
    if (!font_futura_128 || title.empty())
        return false;
    UniqueSurface rendered =
        convert_surface(UniqueSurface(render_text_blended(font_futura_128.get(), title.c_str(), WHITE)));
    if (!rendered)
        return false;
    text = raw_of(rendered.get());
    return true;
}

// Where a system's logo goes above the title: the top of `box`, which it takes from the title.
// The kit has no system art yet, so the title keeps the whole box; system art drawn here later
// needs no other change.
void place_system_logo(SDL_Surface* /*band*/, SDL_Rect& /*box*/) {}

int place_title(SDL_Surface* band, const std::string& title, std::chrono::milliseconds limit, std::string& error)
{
    SDL_Rect box{MARGIN_X, MARGIN_Y, BANNER_WIDTH - 2 * MARGIN_X, BANNER_HEIGHT - 2 * MARGIN_Y};
    place_system_logo(band, box);
    Raw text;
    if (!render_title(title, text))
        return 0;
    // Shrunk to fit a long title, never grown: the card's own size is the board's.
    return place_fitted(band, text, std::min(text.width, box.w), std::min(text.height, box.h), limit, error);
}

} // namespace

TitleFonts::TitleFonts()
{
    TTF_Init();
    load_font();
}

TitleFonts::~TitleFonts()
{
    free_font();
    TTF_Quit();
}

int compose_band(const composition& parts, std::chrono::milliseconds limit, UniqueSurface& band, std::string& error)
{
    Raw art;
    if (decode_picture(parts.art, limit, art, error) != 0) {
        error = "its art is not a picture that can be decoded (" + error + ")";
        return -1;
    }
    if (new_band(band, error) != 0 || paint_blurred_fill(band.get(), art, limit, error) != 0)
        return -1;
    // A logo that is missing or does not decode passes to the next, and the last to the title.
    for (const std::string& file : parts.logos) {
        Raw logo;
        std::string passed;
        if (decode_picture(file, limit, logo, passed) == 0)
            return place_fitted(band.get(), logo, BANNER_WIDTH - 2 * MARGIN_X, BANNER_HEIGHT - 2 * MARGIN_Y, limit,
                                error);
    }
    return place_title(band.get(), parts.title, limit, error);
}

int convert_composed(const composition& parts, int fd, const picture_options& options, std::string& error)
{
    UniqueSurface band;
    if (compose_band(parts, options.no_progress, band, error) != 0) {
        close(fd);
        return -1;
    }
    return write_png(band.get(), fd, error);
}
