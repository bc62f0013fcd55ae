// The banner's fonts and the word-wrapping renderer used for the static leaderboard card.
#include "banner/font.h"

#include "banner/glyph_fallback.h"
#include "banner/surface.h"
#include "core/board_root.h"

#include <cstdio>
#include <cstring>
#include <new>
#include <string>
#include <vector>

UniqueFont font_futura_256;
UniqueFont font_futura_128;
UniqueFont font_futura_64;
std::mutex font_mutex;

namespace {

constexpr const char* FONT_FILE = "/rom/vorlix/fonts/Futura_Medium.ttf";
constexpr int FONT_SIZE_256 = 200;
constexpr int FONT_SIZE_128 = 128;
constexpr int FONT_SIZE_64 = 64;

constexpr const char* WRAP_DELIMITERS = " \t\r\n";
// Space left between stacked left-aligned lines, and counted into the surface height.
constexpr int LINE_SPACING = 4;
// Alignment that centres each line.
constexpr int ALIGN_CENTRE = 1;

UniqueFont open_font(int size)
{
    const std::string file = board_path(FONT_FILE);
    UniqueFont font(TTF_OpenFont(file.c_str(), size));
    if (!font)
        printf("%s: open font fail\n", "load_font");
    add_fallback_owner(font.get(), size, file.c_str());
    return font;
}

// Ends the line that starts at `tok` where it fits `width`: puts a NUL at its end and moves
// `next` to where the following line starts when a soft break was needed.
void fit_line(TTF_Font* font, char* tok, char* spot, char*& next, Uint32 width)
{
    for (;;) {
        while (spot > tok && CharacterIsDelimiter(spot[-1], WRAP_DELIMITERS))
            --spot;
        if (spot == tok) {
            if (CharacterIsDelimiter(*spot, WRAP_DELIMITERS)) {
                *spot = '\0';
            } else {
                // Even the first word is too wide: it stands alone.
                spot += strcspn(spot, WRAP_DELIMITERS);
                *spot = '\0';
            }
            return;
        }
        char delimiter = *spot;
        *spot = '\0';
        int w = 0, h = 0;
        size_text(font, tok, &w, &h);
        if (static_cast<Uint32>(w) <= width)
            return;
        *spot = delimiter;
        while (spot > tok && !CharacterIsDelimiter(spot[-1], WRAP_DELIMITERS))
            --spot;
        if (spot > tok)
            next = spot;
    }
}

// Splits `text` in place into the lines to render; throws std::bad_alloc when out of memory.
std::vector<char*> wrap_lines(TTF_Font* font, char* text, Uint32 width)
{
    std::vector<char*> lines;
    char* end = text + strlen(text);
    char* tok = text;
    do {
        lines.push_back(tok);
        // A CR ends the line (with an LF after it) before any LF does.
        char* spot = strchr(tok, '\r');
        if (!spot)
            spot = strchr(tok, '\n');
        if (spot) {
            if (*spot == '\r')
                ++spot;
            if (*spot == '\n')
                ++spot;
        } else {
            spot = end;
        }
        char* next = spot;
        fit_line(font, tok, spot, next, width);
        tok = next;
    } while (tok < end);
    return lines;
}

} // namespace

int load_font()
{
    std::lock_guard lock(font_mutex);
    font_futura_256 = open_font(FONT_SIZE_256);
    font_futura_128 = open_font(FONT_SIZE_128);
    font_futura_64 = open_font(FONT_SIZE_64);
    return 0;
}

void free_font()
{
    std::lock_guard lock(font_mutex);
    font_futura_64.reset();
    font_futura_128.reset();
    font_futura_256.reset();
    free_fallback_fonts();
}

bool CharacterIsDelimiter(char c, const char* delimiters)
{
    return c != '\0' && strchr(delimiters, c) != nullptr;
}

SDL_Surface* TTF_RenderUTF8_Blended_MY(TTF_Font* font, const char* text, SDL_Color fg, Uint32 wrapLength,
                                       int alignment)
{
    int width = 0, height = 0;
    if (!font || !text || size_text(font, text, &width, &height) < 0 || width == 0) {
        SDL_SetError("Text has zero width");
        return nullptr;
    }
    std::string scratch(text);
    std::vector<char*> lines;
    try {
        lines = wrap_lines(font, scratch.data(), wrapLength);
    } catch (const std::bad_alloc&) {
        SDL_SetError("Out of memory");
        return nullptr;
    }
    int count = static_cast<int>(lines.size());
    UniqueSurface result(SDL_CreateRGBSurfaceWithFormat(0, static_cast<int>(wrapLength),
                                                        count * height + (count - 1) * LINE_SPACING,
                                                        SURFACE_DEPTH, SDL_PIXELFORMAT_ARGB8888));
    if (!result)
        return nullptr;
    // The text colour at alpha 0, so that blending the lines on keeps their colour at the edges.
    SDL_FillRect(result.get(), nullptr, (Uint32(fg.r) << 16) | (Uint32(fg.g) << 8) | fg.b);
    for (int i = 0; i < count; i++) {
        // An empty line is rendered as a space so that it keeps its height.
        UniqueSurface line(render_text_blended(font, lines[i][0] ? lines[i] : " ", fg));
        // A line that renders to nothing leaves its place empty.
        if (!line)
            continue;
        SDL_Rect at = {0, i * (line->h + LINE_SPACING), 0, 0};
        if (alignment == ALIGN_CENTRE)
            at = {(static_cast<int>(wrapLength) - line->w) / 2, i * line->h, 0, 0};
        SDL_BlitSurface(line.get(), nullptr, result.get(), &at);
    }
    return result.release();
}
