// The banner's aspect rule for pictures.
#include "banner/picture_fit.h"

#include "banner/surface.h"

#include <algorithm>
#include <cstdint>

namespace {

// Pictures whose integer width-to-height ratio lies strictly between these keep their aspect
// at the banner's height; the banner itself is 5 to 1.
constexpr int KEEP_ASPECT_RATIO_ABOVE = 3;
constexpr int KEEP_ASPECT_RATIO_BELOW = 7;

} // namespace

bool compose_banner_picture(SDL_Surface* picture, SDL_Surface* canvas)
{
    SDL_SetSurfaceBlendMode(picture, SDL_BLENDMODE_BLEND);
    int ratio = picture->w / picture->h;
    if (ratio <= KEEP_ASPECT_RATIO_ABOVE || ratio >= KEEP_ASPECT_RATIO_BELOW) {
        SDL_BlitSurface(picture, nullptr, canvas, nullptr);
        return false;
    }
    int width = static_cast<int>(std::min<int64_t>(int64_t(BANNER_HEIGHT) * picture->w / picture->h, BANNER_WIDTH));
    SDL_Rect at = {(BANNER_WIDTH - width) / 2, 0, width, BANNER_HEIGHT};
    SDL_BlitScaled(picture, nullptr, canvas, &at);
    return true;
}
