// Draws the band of a game as the board does: the banner's picture and title canvases and the
// leaderboard's scroll card, composed on SDL surfaces by the player's own code, saved as a PNG.
#include "host/kit/media_preview.h"

#include "banner/image.h"
#include "banner/leaderboard.h"
#include "banner/surface.h"

#include <SDL_image.h>

#include <cstdio>
#include <vector>

BannerDrawing::BannerDrawing()
{
    init_image_thread();
}

BannerDrawing::~BannerDrawing()
{
    free_surface_banner();
    deinit_image_res();
}

SDL_Surface* BannerDrawing::band(const std::string& picture, const std::string& title)
{
    SDL_Surface* drawn = picture.empty() ? nullptr : get_surface_picture(picture.c_str());
    return drawn ? drawn : get_surface_title(title.c_str());
}

int write_preview(const std::string& picture, const std::string& title, const std::string& leaderboard,
                  const std::string& output)
{
    BannerDrawing drawing;
    SDL_Surface* band = drawing.band(picture, title);
    SDL_Surface* scroll = nullptr;
    if (!leaderboard.empty()) {
        std::vector<char> text(leaderboard.begin(), leaderboard.end());
        text.push_back('\0');
        if (leaderboard_init(text.data()) < 0) {
            fprintf(stderr, "tavimoro-media: the leaderboard is longer than the board takes\n");
            return -1;
        }
        leaderboard_reset();
        scroll = ui_paint_text_scroll();
    }
    UniqueSurface canvas = make_surface(BANNER_WIDTH, scroll ? 2 * BANNER_HEIGHT : BANNER_HEIGHT);
    SDL_Rect below{0, BANNER_HEIGHT, BANNER_WIDTH, BANNER_HEIGHT};
    if (!band || !canvas || SDL_BlitSurface(band, nullptr, canvas.get(), nullptr) != 0 ||
        (scroll && SDL_BlitSurface(scroll, nullptr, canvas.get(), &below) != 0) ||
        IMG_SavePNG(canvas.get(), output.c_str()) != 0) {
        fprintf(stderr, "tavimoro-media: %s: the preview cannot be made (%s)\n", output.c_str(), SDL_GetError());
        return -1;
    }
    return 0;
}
