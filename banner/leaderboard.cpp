// The scrolling leaderboard strip: one rendering per text, then 3 pixels of scroll per frame.
#include "banner/leaderboard.h"

#include "banner/font.h"
#include "banner/glyph_fallback.h"
#include "banner/image.h"

#include <algorithm>
#include <cstring>
#include <mutex>

char leaderboard_text[LEADERBOARD_TEXT_SIZE] = "Leaderboard";
UniqueSurface surface_leaderboard_text_all;
SDL_Rect rc_flash_text_all;
SDL_Rect rc_flash_text_visible;
SDL_Rect rc_flash_text_visible2;
int flash_space_count;

namespace {

constexpr int SCROLL_STEP = 3;
// Frames the tail scrolls alone before the head comes back in behind it.
constexpr int TAIL_FRAMES_MAX = 213;
// Gap between the tail and the returning head, and the head's width when it enters.
constexpr int HEAD_GAP = 639;
constexpr int HEAD_ENTRY_WIDTH = BANNER_WIDTH - HEAD_GAP;

UniqueSurface surface_leaderboard_ui;

int text_width()
{
    return surface_leaderboard_text_all ? surface_leaderboard_text_all->w : 0;
}

int text_height()
{
    return surface_leaderboard_text_all ? surface_leaderboard_text_all->h : 0;
}

// Blits the text columns `source` names onto the card at x, vertically centred.
void draw_columns(const SDL_Rect& source, int x)
{
    if (!surface_leaderboard_text_all)
        return;
    SDL_Rect at = {x, (BANNER_HEIGHT - text_height()) / 2, 0, 0};
    SDL_BlitSurface(surface_leaderboard_text_all.get(), &source, surface_leaderboard_ui.get(), &at);
}

} // namespace

int leaderboard_init(char* text)
{
    if (strlen(text) >= LEADERBOARD_TEXT_SIZE)
        return -1;
    strcpy(leaderboard_text, text);
    surface_leaderboard_text_all.reset();
    // Without the font, or for a text with no visible width, the card scrolls nothing.
    std::lock_guard lock(font_mutex);
    if (font_futura_128) {
        SDL_Color white = {255, 255, 255, 255};
        surface_leaderboard_text_all =
            convert_surface(UniqueSurface(render_text_blended(font_futura_128.get(), text, white)));
    }
    leaderboard_reset();
    return text_width();
}

void leaderboard_reset()
{
    int width = text_width(), height = text_height();
    rc_flash_text_all = {0, 0, width, height};
    rc_flash_text_visible = {0, 0, BANNER_WIDTH, height};
    rc_flash_text_visible2 = {0, 0, BANNER_WIDTH, height};
    flash_space_count = 0;
}

SDL_Surface* ui_paint_text_scroll()
{
    if (!surface_leaderboard_ui)
        surface_leaderboard_ui = make_surface(BANNER_WIDTH, BANNER_HEIGHT);
    if (!surface_leaderboard_ui)
        return nullptr;
    fill_black(surface_leaderboard_ui.get());

    const int width = text_width();
    SDL_Rect& visible = rc_flash_text_visible;
    SDL_Rect& head = rc_flash_text_visible2;
    int& tail_frames = flash_space_count;
    if (visible.x + visible.w < width) {
        // Body: the text is wider than the card and still fills it.
        visible.x += SCROLL_STEP;
        if (visible.x + visible.w > width) {
            visible.x = width - visible.w;
            tail_frames = 0;
        }
        draw_columns(visible, 0);
    } else if (visible.x < width) {
        // Tail: the end of the text leaves black behind it; later the head follows it in.
        visible.x = std::min(visible.x + SCROLL_STEP, width);
        visible.w = width - visible.x;
        draw_columns(visible, 0);
        if (++tail_frames > TAIL_FRAMES_MAX) {
            head.w = HEAD_ENTRY_WIDTH - visible.w;
            draw_columns(head, visible.w + HEAD_GAP);
            tail_frames = TAIL_FRAMES_MAX;
        }
    } else if (tail_frames <= 0) {
        // Home: the head has reached the left edge; the next frame starts over.
        visible.x = head.x;
        visible.w = BANNER_WIDTH;
        draw_columns(visible, 0);
    } else {
        // Head coming in from where the tail left.
        tail_frames--;
        head.w = BANNER_WIDTH - visible.w - SCROLL_STEP * tail_frames;
        draw_columns(head, visible.w + SCROLL_STEP * tail_frames);
    }
    return surface_leaderboard_ui.get();
}
