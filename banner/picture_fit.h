// The rule that fits a picture to the banner, shared by the board and the host tool that
// prepares pictures for it.
#pragma once

#include <SDL2/SDL.h>

// Composes `picture` (in the banner's pixel format) onto `canvas`, a cleared banner canvas, as
// the board shows it: a picture near the banner's shape is scaled to its height keeping the
// aspect (at most the banner's width) and centred; any other is copied unscaled from the
// top-left corner, clipped. Transparent parts show what lies beneath. True when it was scaled.
bool compose_banner_picture(SDL_Surface* picture, SDL_Surface* canvas);
