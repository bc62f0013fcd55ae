// Image surfaces: pictures fitted to the banner, title and leaderboard cards, the current image.
#include "banner/image.h"

#include "banner/font.h"
#include "banner/glyph_fallback.h"
#include "banner/leaderboard.h"
#include "banner/picture_file.h"
#include "banner/picture_fit.h"
#include "banner/surface.h"
#include "core/board_root.h"
#include "display/opengl.h"
#include "display/video.h"

#include <cstdint>
#include <cstdio>
#include <mutex>

namespace {

constexpr const char* TEST_IMAGE_FILE = "/media/usbhd-sda1/res/test_image.png";
constexpr int SCREEN_WIDTH = 1920;
constexpr int SCREEN_HEIGHT = 1080;
constexpr Uint32 WRAP_WIDTH = BANNER_WIDTH;
constexpr int ALIGN_CENTRE = 1;
constexpr SDL_Color WHITE = {255, 255, 255, 255};

std::mutex image_mutex;
// The surface the video thread draws: a reference to a canvas or the test picture; or, while
// scroll_shown, the scroll frame. Guarded by image_mutex.
SDL_Surface* surface_image;
bool scroll_shown;
scroll_frame shown_scroll;
// The current image changed since it was last uploaded for drawing: the next draw uploads it,
// any other draw shows the uploaded copy again. Guarded by image_mutex.
bool image_changed = true;
// The start-up test picture, the one current image this module owns.
UniqueSurface surface_test_image;
UniqueSurface surface_banner_picture;
UniqueSurface surface_banner_title;
UniqueSurface surface_banner_leaderboard;
UniqueSurface surface_black;
#ifdef TAVIMORO_FACTORY
// The factory's version card, made on the main thread.
UniqueSurface surface_banner_version;
#endif

// The canvas in `slot`, made on first use and cleared to black; null when it cannot be made.
SDL_Surface* clear_canvas(UniqueSurface& slot)
{
    if (!slot)
        slot = make_surface(BANNER_WIDTH, BANNER_HEIGHT);
    if (slot)
        fill_black(slot.get());
    return slot.get();
}

// Converts `rendered` and copies it centred both ways onto `canvas`, blended over it.
void place_centred(SDL_Surface* canvas, UniqueSurface rendered)
{
    UniqueSurface text = convert_surface(std::move(rendered));
    if (!text)
        return;
    SDL_Rect at = {(BANNER_WIDTH - text->w) / 2, (BANNER_HEIGHT - text->h) / 2, 0, 0};
    SDL_BlitSurface(text.get(), nullptr, canvas, &at);
}

// `text` on one line in the title font, centred on `canvas`; without the font, or for a text
// that renders to nothing, the canvas stays as it is.
void place_title(SDL_Surface* canvas, const char* text)
{
    std::lock_guard lock(font_mutex);
    if (font_futura_128)
        place_centred(canvas, UniqueSurface(render_text_blended(font_futura_128.get(), text, WHITE)));
}

// Makes `surface` the current image and has it drawn; the caller holds image_mutex. Every change
// of the current image goes through here, so that the video thread, which draws a still picture
// only once, never misses one.
void set_current_image(SDL_Surface* surface)
{
    surface_image = surface;
    scroll_shown = false;
    image_changed = true;
    request_image_redraw();
}

} // namespace

int init_image_thread()
{
    if (!surface_black) {
        surface_black = make_surface(SCREEN_WIDTH, SCREEN_HEIGHT);
        if (surface_black)
            SDL_FillRect(surface_black.get(), nullptr, SDL_MapRGBA(surface_black->format, 0, 0, 0, 255));
    }
    return load_image();
}

int load_image()
{
    UniqueSurface picture = convert_surface(load_picture_file(board_path(TEST_IMAGE_FILE).c_str()));
    if (!picture)
        return 0;
    std::lock_guard lock(image_mutex);
    surface_test_image = std::move(picture);
    set_current_image(surface_test_image.get());
    return 0;
}

void deinit_image_res()
{
    {
        std::lock_guard lock(image_mutex);
        set_current_image(nullptr);
        surface_test_image.reset();
        surface_banner_picture.reset();
        surface_banner_title.reset();
        surface_banner_leaderboard.reset();
#ifdef TAVIMORO_FACTORY
        surface_banner_version.reset();
#endif
    }
    surface_black.reset();
}

void fill_black(SDL_Surface* surface)
{
    if (surface_black)
        SDL_BlitSurface(surface_black.get(), nullptr, surface, nullptr);
}

SDL_Surface* get_surface_picture(const char* path)
{
    UniqueSurface loaded = load_picture_file(path);
    if (!loaded)
        return nullptr;
    SDL_Surface* canvas = clear_canvas(surface_banner_picture);
    UniqueSurface picture = convert_surface(std::move(loaded));
    // A picture that cannot be put on a canvas counts as one that cannot be loaded.
    if (!canvas || !picture || picture->h == 0)
        return nullptr;
    printf("%s: pic width %d, pic height %d\n", __func__, picture->w, picture->h);
    printf(compose_banner_picture(picture.get(), canvas) ? "%s: keep scaled picture\n" : "%s: scaled picture\n",
           __func__);
    return canvas;
}

SDL_Surface* get_surface_title(const char* text)
{
    SDL_Surface* canvas = clear_canvas(surface_banner_title);
    if (canvas)
        place_title(canvas, text);
    return canvas;
}

#ifdef TAVIMORO_FACTORY
SDL_Surface* get_surface_version(const char* text)
{
    // A fresh canvas each time, so that the card on screen is never drawn into while the video
    // thread reads it; the title canvas stays the banner thread's own.
    UniqueSurface canvas = make_surface(BANNER_WIDTH, BANNER_HEIGHT);
    if (!canvas)
        return nullptr;
    fill_black(canvas.get());
    place_title(canvas.get(), text);
    std::lock_guard lock(image_mutex);
    if (surface_image == surface_banner_version.get())
        set_current_image(canvas.get());
    surface_banner_version = std::move(canvas);
    return surface_banner_version.get();
}
#endif

SDL_Surface* get_surface_leaderboard(const char* text)
{
    printf("%s: %s\n", __func__, text);
    SDL_Surface* canvas = clear_canvas(surface_banner_leaderboard);
    std::lock_guard lock(font_mutex);
    if (canvas && font_futura_64)
        place_centred(canvas, UniqueSurface(TTF_RenderUTF8_Blended_MY(font_futura_64.get(), text, WHITE,
                                                                      WRAP_WIDTH, ALIGN_CENTRE)));
    return canvas;
}

void free_surface_banner()
{
    std::lock_guard lock(image_mutex);
    surface_banner_title.reset();
    surface_banner_picture.reset();
    surface_banner_leaderboard.reset();
    set_current_image(nullptr);
}

void show_surface_image(SDL_Surface* surface)
{
    std::lock_guard lock(image_mutex);
    set_current_image(surface);
}

void show_surface_image_nolock(SDL_Surface* surface)
{
    set_current_image(surface);
}

void show_scroll_frame_nolock(const scroll_frame& frame)
{
    set_current_image(nullptr);
    scroll_shown = true;
    shown_scroll = frame;
}

void keep_surface_image(SDL_Surface* surface)
{
    std::lock_guard lock(image_mutex);
    if (surface_image != surface)
        set_current_image(surface);
}

void lock_image_mutex()
{
    image_mutex.lock();
}

void unlock_image_mutex()
{
    image_mutex.unlock();
}

void draw_image()
{
    std::unique_lock lock(image_mutex);
    release_replaced_scroll_text();
    if (!surface_image && !scroll_shown)
        return;
    // A scroll frame is drawn from the text's tiles: nothing is uploaded per frame.
    if (scroll_shown && upload_scroll_text() == 0) {
        scroll_frame frame = shown_scroll;
        lock.unlock();
        draw_strip(frame.slices, frame.count, frame.top);
        return;
    }
    // Uploading the picture is most of a draw's cost: an unchanged one is drawn from the copy
    // the renderer holds, unless it holds none (its display was brought up since). Rows of a
    // 32-bit surface are never padded, so its pixels are the frame as drawn. A scroll the display
    // cannot hold as tiles has each frame painted here.
    if (image_changed || !frame_uploaded()) {
        SDL_Surface* surface = scroll_shown ? paint_scroll_card(shown_scroll) : surface_image;
        if (!surface || upload_frame(static_cast<char*>(surface->pixels), surface->w, surface->h) != 0)
            return;
        image_changed = false;
    }
    // Only the upload reads the picture. The draw runs without the lock, so that a scroll takes
    // its next step meanwhile: the scroll keeps its pace however long a frame takes to draw, and
    // a display slower than the scroll shows fewer of its steps.
    lock.unlock();
    redraw_frame();
}
