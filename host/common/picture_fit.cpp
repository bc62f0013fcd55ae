// The picture module of tavimoro-host: a picture becomes the 1920×360 band the board would show
// of it, by the board's own rule, and travels as whichever file is smallest: that band as PNG or
// as JPEG, or the picture as it is.
#include "host/common/picture_fit.h"

#include "banner/picture_file.h"
#include "banner/picture_fit.h"
#include "banner/surface.h"
#include "host/common/picture_encode.h"

namespace {

// Good enough that the band looks the same to the eye; the difference it leaves is what the
// player tests allow between a fitted picture and the same picture sent as it is.
constexpr int JPEG_QUALITY = 90;

struct RWopsCloser {
    void operator()(SDL_RWops* rw) const { SDL_RWclose(rw); }
};

// The band the board makes of `picture`, without alpha: it is opaque, and RGB files are smaller.
UniqueSurface compose_band(UniqueSurface picture)
{
    UniqueSurface canvas = make_surface(BANNER_WIDTH, BANNER_HEIGHT);
    picture = convert_surface(std::move(picture));
    if (!canvas || !picture)
        return nullptr;
    SDL_FillRect(canvas.get(), nullptr, SDL_MapRGBA(canvas->format, 0, 0, 0, SDL_ALPHA_OPAQUE));
    compose_banner_picture(picture.get(), canvas.get());
    return UniqueSurface(SDL_ConvertSurfaceFormat(canvas.get(), SDL_PIXELFORMAT_RGB24, 0));
}

} // namespace

extern "C" int tavimoro_fit_picture(const std::vector<uint8_t>& file, fitted_picture& out)
{
    std::unique_ptr<SDL_RWops, RWopsCloser> header_source(SDL_RWFromConstMem(file.data(), int(file.size())));
    picture_header header;
    // What the board refuses unread is sent unread too: the board says why it shows no picture.
    if (!header_source || read_picture_header(header_source.get(), &header) != 0 ||
        int64_t(header.width) * header.height > PICTURE_MAX_PIXELS)
        return -1;
    UniqueSurface picture = load_picture_source(SDL_RWFromConstMem(file.data(), int(file.size())), "picture");
    if (!picture || picture->h == 0)
        return -1;
    out = fitted_picture{file, header.type == picture_type::jpeg, "as it is", picture->w, picture->h};
    UniqueSurface band = compose_band(std::move(picture));
    if (!band)
        return 0;
    for (bool jpeg : {false, true}) {
        std::vector<uint8_t> bytes = encode_picture(band.get(), jpeg, JPEG_QUALITY);
        if (!bytes.empty() && bytes.size() < out.bytes.size()) {
            out.bytes = std::move(bytes);
            out.jpeg = jpeg;
            out.made = jpeg ? "fitted, as JPEG" : "fitted, as PNG";
        }
    }
    return 0;
}
