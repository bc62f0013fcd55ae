// The scrolling leaderboard strip: one rendering per text, then 3 pixels of scroll per frame; one
// rule says where the text goes, for the GPU's tiles and for the software card alike.
#include "banner/leaderboard.h"

#include "banner/font.h"
#include "banner/glyph_fallback.h"
#include "banner/image.h"
#include "display/video.h"

#include <algorithm>
#include <cstdio>
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
// Leaderboards shorter than this scroll for the minimum time, longer ones one second per 4 bytes.
constexpr size_t SHORT_LEADERBOARD = 30;
constexpr int SHORT_LEADERBOARD_SECONDS = 3;
constexpr size_t LEADERBOARD_BYTES_PER_SECOND = 4;

UniqueSurface surface_leaderboard_ui;
// The text changed since the display's tiles were made, and the display could not take the
// current text's tiles. Both guarded by the image lock.
bool text_replaced;
bool tiles_refused;

int text_width()
{
    return surface_leaderboard_text_all ? surface_leaderboard_text_all->w : 0;
}

int text_height()
{
    return surface_leaderboard_text_all ? surface_leaderboard_text_all->h : 0;
}

// The text columns `source` names, from card column x.
void add_columns(scroll_frame& frame, const SDL_Rect& source, int x)
{
    if (surface_leaderboard_text_all)
        frame.slices[frame.count++] = {source.x, source.w, x};
}

// Columns [x, x + w) of the text composed over black, as the card shows them; null when the
// tile cannot be made. The tile is kept until the next call.
const void* text_over_black(UniqueSurface& tile, int x, int w)
{
    tile = make_surface(w, text_height());
    if (!tile)
        return nullptr;
    SDL_FillRect(tile.get(), nullptr, SDL_MapRGBA(tile->format, 0, 0, 0, 255));
    SDL_Rect source = {x, 0, w, text_height()};
    SDL_BlitSurface(surface_leaderboard_text_all.get(), &source, tile.get(), nullptr);
    return tile->pixels;
}

} // namespace

int leaderboard_init(char* text)
{
    if (strlen(text) >= LEADERBOARD_TEXT_SIZE)
        return -1;
    strcpy(leaderboard_text, text);
    // Without the font, or for a text with no visible width, the card scrolls nothing.
    UniqueSurface rendered;
    {
        std::lock_guard lock(font_mutex);
        if (font_futura_128) {
            SDL_Color white = {255, 255, 255, 255};
            rendered = convert_surface(UniqueSurface(render_text_blended(font_futura_128.get(), text, white)));
        }
    }
    // The video thread reads the text under the image lock; a redraw lets the old tiles go now.
    lock_image_mutex();
    surface_leaderboard_text_all = std::move(rendered);
    text_replaced = true;
    request_image_redraw();
    unlock_image_mutex();
    leaderboard_reset();
    return text_width();
}

int leaderboard_seconds(size_t length)
{
    return length < SHORT_LEADERBOARD ? SHORT_LEADERBOARD_SECONDS
                                      : static_cast<int>(length / LEADERBOARD_BYTES_PER_SECOND);
}

void leaderboard_reset()
{
    int width = text_width(), height = text_height();
    rc_flash_text_all = {0, 0, width, height};
    rc_flash_text_visible = {0, 0, BANNER_WIDTH, height};
    rc_flash_text_visible2 = {0, 0, BANNER_WIDTH, height};
    flash_space_count = 0;
}

scroll_frame next_scroll_frame()
{
    scroll_frame frame = {(BANNER_HEIGHT - text_height()) / 2, 0, {}};
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
        add_columns(frame, visible, 0);
    } else if (visible.x < width) {
        // Tail: the end of the text leaves black behind it; later the head follows it in.
        visible.x = std::min(visible.x + SCROLL_STEP, width);
        visible.w = width - visible.x;
        add_columns(frame, visible, 0);
        if (++tail_frames > TAIL_FRAMES_MAX) {
            head.w = HEAD_ENTRY_WIDTH - visible.w;
            add_columns(frame, head, visible.w + HEAD_GAP);
            tail_frames = TAIL_FRAMES_MAX;
        }
    } else if (tail_frames <= 0) {
        // Home: the head has reached the left edge; the next frame starts over.
        visible.x = head.x;
        visible.w = BANNER_WIDTH;
        add_columns(frame, visible, 0);
    } else {
        // Head coming in from where the tail left.
        tail_frames--;
        head.w = BANNER_WIDTH - visible.w - SCROLL_STEP * tail_frames;
        add_columns(frame, head, visible.w + SCROLL_STEP * tail_frames);
    }
    return frame;
}

SDL_Surface* paint_scroll_card(const scroll_frame& frame)
{
    if (!surface_leaderboard_ui)
        surface_leaderboard_ui = make_surface(BANNER_WIDTH, BANNER_HEIGHT);
    if (!surface_leaderboard_ui)
        return nullptr;
    fill_black(surface_leaderboard_ui.get());
    for (int i = 0; i < frame.count; i++) {
        const strip_slice& slice = frame.slices[i];
        SDL_Rect source = {slice.x, 0, slice.w, text_height()};
        SDL_Rect at = {slice.at, frame.top, 0, 0};
        SDL_BlitSurface(surface_leaderboard_text_all.get(), &source, surface_leaderboard_ui.get(), &at);
    }
    return surface_leaderboard_ui.get();
}

SDL_Surface* ui_paint_text_scroll()
{
    return paint_scroll_card(next_scroll_frame());
}

void release_replaced_scroll_text()
{
    if (!text_replaced)
        return;
    free_strip();
    text_replaced = tiles_refused = false;
}

int upload_scroll_text()
{
    if (!surface_leaderboard_text_all || strip_uploaded())
        return 0;
    if (tiles_refused)
        return -1;
    UniqueSurface tile;
    tiles_refused = upload_strip(text_width(), text_height(),
                                 [&tile](int x, int w) { return text_over_black(tile, x, w); }) != 0;
    if (tiles_refused)
        printf("%s: the display cannot hold the text, %dx%d; painting it\n", __func__, text_width(), text_height());
    return tiles_refused ? -1 : 0;
}
