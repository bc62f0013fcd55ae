// A system's picture: SVG logos rendered by SDL_image (its own SVG reader, at the size they are
// shown, so that they stay sharp), cards by the player's banner code, PNGs by SDL_image.
#include "host/kit/system_picture.h"

#include "banner/surface.h"
#include "host/common/picture_encode.h"
#include "host/kit/media_preview.h"
#include "host/kit/media_scan.h"
#include "hostlink/banner_info.h"

#include <SDL_image.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <memory>
#include <mutex>

namespace {

// Room left around a logo: the band's edges are the marquee's frame.
constexpr int LOGO_MARGIN = 24;

// SDL_image's loaders are not documented as safe on several threads at once.
std::mutex svg_mutex;

struct RWClose {
    void operator()(SDL_RWops* file) const { SDL_RWclose(file); }
};

// Writes `bytes` to `fd` and closes it; 0, or -1 with `error`.
int write_all(const std::vector<uint8_t>& bytes, int fd, std::string& error)
{
    for (size_t done = 0; done < bytes.size();) {
        ssize_t written = write(fd, bytes.data() + done, bytes.size() - done);
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0) {
            error = strerror(errno);
            close(fd);
            return -1;
        }
        done += static_cast<size_t>(written);
    }
    if (close(fd) != 0) {
        error = strerror(errno);
        return -1;
    }
    return 0;
}

// The SVG fitted inside the band less its margin, centred on black, as PNG; empty with `error`.
std::vector<uint8_t> svg_band(const std::string& file, std::string& error)
{
    std::lock_guard lock(svg_mutex);
    std::unique_ptr<SDL_RWops, RWClose> source(SDL_RWFromFile(file.c_str(), "rb"));
    UniqueSurface natural(source ? IMG_LoadSVG_RW(source.get()) : nullptr);
    if (!natural) {
        error = IMG_GetError();
        return {};
    }
    int width = 0, height = 0;
    fit_size(natural->w, natural->h, BANNER_WIDTH - 2 * LOGO_MARGIN, BANNER_HEIGHT - 2 * LOGO_MARGIN, false, width,
             height);
    SDL_RWseek(source.get(), 0, RW_SEEK_SET);
    UniqueSurface logo(IMG_LoadSizedSVG_RW(source.get(), width, height));
    UniqueSurface band = make_surface(BANNER_WIDTH, BANNER_HEIGHT);
    SDL_Rect at{(BANNER_WIDTH - width) / 2, (BANNER_HEIGHT - height) / 2, width, height};
    if (!logo || !band ||
        SDL_FillRect(band.get(), nullptr, SDL_MapRGBA(band->format, 0, 0, 0, SDL_ALPHA_OPAQUE)) != 0 ||
        SDL_SetSurfaceBlendMode(logo.get(), SDL_BLENDMODE_BLEND) != 0 ||
        SDL_BlitSurface(logo.get(), nullptr, band.get(), &at) != 0) {
        error = SDL_GetError();
        return {};
    }
    std::vector<uint8_t> png = encode_picture(band.get(), false, 0);
    if (png.empty())
        error = IMG_GetError();
    return png;
}

bool is_svg(const std::string& file)
{
    std::string extension = std::filesystem::path(file).extension().string();
    std::transform(extension.begin(), extension.end(), extension.begin(), [](unsigned char c) { return tolower(c); });
    return extension == ".svg";
}

} // namespace

void draw_system_cards(std::vector<library_system>& systems)
{
    // The banner code traces what it draws on standard output, where the build reports.
    QuietStdout quiet;
    BannerDrawing drawing;
    for (library_system& system : systems)
        if (SDL_Surface* card = drawing.band("", board_lookup_text(system.title.c_str())))
            system.card = encode_picture(card, false, 0);
}

int convert_system_picture(const media_source& source, const library_system& system, int fd,
                           const picture_options& options, std::string& error)
{
    if (source.tag == CARD_TAG) {
        if (!system.card.empty())
            return write_all(system.card, fd, error);
        error = "the card cannot be drawn (is the board's font there?)";
    } else if (!is_svg(source.file)) {
        return convert_picture(source.file, fd, options, error);
    } else if (std::vector<uint8_t> png = svg_band(source.file, error); !png.empty()) {
        return write_all(png, fd, error);
    } else {
        error = "not an SVG picture that can be drawn (" + error + ")";
    }
    close(fd);
    return -1;
}
