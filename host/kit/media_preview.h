// tavimoro-media preview: the band as the board shows a game, drawn by the player's banner code.
#pragma once

#include "host/kit/media_compose.h"

#include <SDL2/SDL.h>

#include <string>

// The banner's fonts and canvases, set up while one lives and released in the order the player
// releases them. The board's font is read under the board root, which the caller has set up.
class BannerDrawing {
public:
    BannerDrawing();
    ~BannerDrawing();
    BannerDrawing(const BannerDrawing&) = delete;
    BannerDrawing& operator=(const BannerDrawing&) = delete;

    // The band as the board shows `picture` (its title card of `title` when there is none or it
    // cannot be loaded). The surface is the banner code's canvas: valid until the next call.
    SDL_Surface* band(const std::string& picture, const std::string& title);

private:
    TitleFonts fonts_;
};

// Draws the game's band and, below it, the first frame of the scrolling `leaderboard` when there
// is one; saves it as the PNG `output`. 0, or -1 with a message.
int write_preview(const std::string& picture, const std::string& title, const std::string& leaderboard,
                  const std::string& output);
