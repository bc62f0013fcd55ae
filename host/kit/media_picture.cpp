// Pictures converted for the band in-process with GStreamer: decoding and Lanczos scaling; SDL
// surfaces place the scaled pictures and write the PNG, and SDL_image decodes the two picture
// formats that GStreamer does not decode here (WebP and GIF). Videos are in media_video.cpp.
#include "host/kit/media_picture.h"

#include "host/kit/media_pipeline.h"
#include "playback/plug_gate.h"

#include <SDL_image.h>
#include <gst/app/gstappsink.h>
#include <gst/app/gstappsrc.h>
#include <gst/gst.h>
#include <gst/video/video.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <mutex>
#include <vector>

namespace {

// The blurred fill: the picture shrunk to a few blocks and spread out again, then darkened so
// that the picture in front stands out.
constexpr int BLUR_WIDTH = 32;
constexpr int BLUR_HEIGHT = 6;
constexpr Uint8 BLUR_BRIGHTNESS = 112;

int copy_frame(GstSample* sample, Raw& output, std::string& error)
{
    GstVideoInfo info;
    GstVideoFrame frame;
    if (!gst_video_info_from_caps(&info, gst_sample_get_caps(sample)) ||
        !gst_video_frame_map(&frame, &info, gst_sample_get_buffer(sample), GST_MAP_READ)) {
        error = "the decoded picture cannot be read";
        return -1;
    }
    output.width = GST_VIDEO_INFO_WIDTH(&info);
    output.height = GST_VIDEO_INFO_HEIGHT(&info);
    size_t row = static_cast<size_t>(output.width) * 4;
    output.rgba.resize(row * output.height);
    const auto* pixels = static_cast<const uint8_t*>(GST_VIDEO_FRAME_PLANE_DATA(&frame, 0));
    int stride = GST_VIDEO_FRAME_PLANE_STRIDE(&frame, 0);
    for (int y = 0; y < output.height; y++)
        memcpy(&output.rgba[row * y], pixels + static_cast<size_t>(stride) * y, row);
    gst_video_frame_unmap(&frame);
    return 0;
}

// Runs `description` until its appsink "out" holds one frame: the file `source` read by its
// filesrc "source", or `input` pushed into its appsrc "in". `stage` names the work for a
// pipeline that makes no progress for `limit`.
int run_frame(const std::string& description, const std::string& source, const Raw* input, Raw& output,
              std::chrono::milliseconds limit, const char* stage, std::string& error)
{
    Progress progress;
    Pipeline pipeline;
    if (launch(description, pipeline, error) != 0)
        return -1;
    gate_decodebin(pipeline.child("decode").get());
    if (UniqueElement file = pipeline.child("source"))
        g_object_set(file.get(), "location", source.c_str(), nullptr);
    UniqueElement out = pipeline.child("out");
    progress.watch(pipeline, "source", "src");
    progress.watch(pipeline, "in", "src");
    progress.watch(pipeline, "out", "sink");
    if (gst_element_set_state(pipeline.element.get(), GST_STATE_PLAYING) == GST_STATE_CHANGE_FAILURE &&
        !bus_error(pipeline, 0, error)) {
        error = "GStreamer cannot start the conversion";
        return -1;
    }
    if (input) {
        UniqueElement in = pipeline.child("in");
        std::string caps = "video/x-raw,format=RGBA,width=" + std::to_string(input->width) +
                           ",height=" + std::to_string(input->height) + ",framerate=0/1,pixel-aspect-ratio=1/1";
        GstCaps* in_caps = gst_caps_from_string(caps.c_str());
        gst_app_src_set_caps(GST_APP_SRC(in.get()), in_caps);
        gst_caps_unref(in_caps);
        GstBuffer* buffer = gst_buffer_new_memdup(input->rgba.data(), input->rgba.size());
        gst_app_src_push_buffer(GST_APP_SRC(in.get()), buffer);
        gst_app_src_end_of_stream(GST_APP_SRC(in.get()));
    }
    for (;;) {
        std::unique_ptr<GstSample, GstSampleUnref> sample(gst_app_sink_try_pull_sample(GST_APP_SINK(out.get()), POLL));
        if (sample)
            return copy_frame(sample.get(), output, error);
        if (bus_error(pipeline, 0, error))
            return -1;
        if (gst_app_sink_is_eos(GST_APP_SINK(out.get()))) {
            error = "no picture in it";
            return -1;
        }
        if (progress.stalled(limit)) {
            error = "no progress for " + seconds_text(limit) + " " + stage;
            return -1;
        }
    }
}

// The SDL_image type of the pictures GStreamer does not decode here, from the file's first
// bytes; null for the rest. WebP: gst-libav has a decoder (avdec_webp) but no caps that
// decodebin could plug it for, and webpdec is in gst-plugins-bad. GIF: decodebin plugs libav's
// GIF demuxer, which in pull mode reads an animation on and on, and fails in push mode.
// SDL_image, there for the PNG already, reads both (a GIF's first frame).
const char* sdl_image_type(const std::string& source)
{
    // Only a regular file is looked into: what is read from a pipe would be gone for GStreamer.
    struct stat info;
    if (stat(source.c_str(), &info) != 0 || !S_ISREG(info.st_mode))
        return nullptr;
    char head[12] = {};
    std::ifstream file(source, std::ios::binary);
    file.read(head, sizeof head);
    if (file.gcount() == sizeof head && memcmp(head, "RIFF", 4) == 0 && memcmp(head + 8, "WEBP", 4) == 0)
        return "WEBP";
    if (file.gcount() >= 6 && (memcmp(head, "GIF87a", 6) == 0 || memcmp(head, "GIF89a", 6) == 0))
        return "GIF";
    return nullptr;
}

// SDL_image's loaders are not documented as safe on several threads at once; they are quick.
std::mutex sdl_image_mutex;

int decode_with_sdl_image(const std::string& source, const char* type, Raw& output, std::string& error)
{
    UniqueSurface picture;
    {
        std::lock_guard lock(sdl_image_mutex);
        SDL_RWops* file = SDL_RWFromFile(source.c_str(), "rb");
        picture = convert_surface(UniqueSurface(file ? IMG_LoadTyped_RW(file, 1, type) : nullptr));
        if (!picture)
            error = IMG_GetError();
    }
    if (!picture)
        return -1;
    output = raw_of(picture.get());
    return 0;
}

int scale(const Raw& input, int width, int height, const char* method, std::chrono::milliseconds limit, Raw& output,
          std::string& error)
{
    return run_frame("appsrc name=in ! videoscale method=" + std::string(method) +
                         " add-borders=false ! video/x-raw,width=" + std::to_string(width) +
                         ",height=" + std::to_string(height) + ",pixel-aspect-ratio=1/1 ! appsink name=out sync=false",
                     "", &input, output, limit, "scaling it", error);
}

// The middle part of `input` with the band's shape.
Raw crop_to_band(const Raw& input)
{
    int width = input.width;
    int height = input.height;
    fit_size(BANNER_WIDTH, BANNER_HEIGHT, input.width, input.height, false, width, height);
    int left = (input.width - width) / 2;
    int top = (input.height - height) / 2;
    Raw output{width, height, std::vector<uint8_t>(static_cast<size_t>(width) * height * 4)};
    for (int y = 0; y < height; y++)
        memcpy(&output.rgba[static_cast<size_t>(width) * 4 * y],
               &input.rgba[(static_cast<size_t>(input.width) * (top + y) + left) * 4], static_cast<size_t>(width) * 4);
    return output;
}

UniqueSurface surface_of(Raw& raw)
{
    return UniqueSurface(SDL_CreateRGBSurfaceWithFormatFrom(raw.rgba.data(), raw.width, raw.height, SURFACE_DEPTH,
                                                            raw.width * 4, SURFACE_FORMAT));
}

// Blits `picture` centred on `band`; transparent parts show what lies beneath, as the board
// shows them over black.
int blit_centred(SDL_Surface* band, Raw& picture, std::string& error)
{
    UniqueSurface surface = surface_of(picture);
    SDL_Rect where{(band->w - picture.width) / 2, (band->h - picture.height) / 2, picture.width, picture.height};
    if (!surface || SDL_BlitSurface(surface.get(), nullptr, band, &where) != 0) {
        error = SDL_GetError();
        return -1;
    }
    return 0;
}

// The band's background for a fitted picture.
int paint_background(SDL_Surface* band, const Raw& picture, const picture_options& options, std::string& error)
{
    Uint32 colour = options.mode == fit_mode::colour ? options.rgb : 0;
    SDL_FillRect(band, nullptr, SDL_MapRGBA(band->format, colour >> 16 & 0xFF, colour >> 8 & 0xFF, colour & 0xFF, 255));
    return options.mode == fit_mode::blur ? paint_blurred_fill(band, picture, options.no_progress, error) : 0;
}

struct AnimationFree {
    void operator()(IMG_Animation* animation) const { IMG_FreeAnimation(animation); }
};
using UniqueAnimation = std::unique_ptr<IMG_Animation, AnimationFree>;

UniqueAnimation load_animation(const std::string& source, std::string& error)
{
    const char* type = sdl_image_type(source);
    if (!type || strcmp(type, "GIF") != 0) {
        error = "not a GIF";
        return nullptr;
    }
    std::lock_guard lock(sdl_image_mutex);
    UniqueAnimation loaded(IMG_LoadAnimation(source.c_str()));
    if (!loaded)
        error = IMG_GetError();
    return loaded;
}

} // namespace

int fit_to_band(const Raw& picture, const picture_options& options, UniqueSurface& band, std::string& error)
{
    if (new_band(band, error) != 0)
        return -1;
    if (options.mode != fit_mode::crop)
        return paint_background(band.get(), picture, options, error) != 0
                   ? -1
                   : place_fitted(band.get(), picture, BANNER_WIDTH, BANNER_HEIGHT, options.no_progress, error);
    Raw scaled;
    if (scale(crop_to_band(picture), BANNER_WIDTH, BANNER_HEIGHT, "lanczos", options.no_progress, scaled, error) != 0)
        return -1;
    return blit_centred(band.get(), scaled, error);
}

int decode_picture(const std::string& source, std::chrono::milliseconds limit, Raw& output, std::string& error)
{
    if (const char* type = sdl_image_type(source))
        return decode_with_sdl_image(source, type, output, error);
    return run_frame("filesrc name=source ! decodebin name=decode ! videoconvert ! video/x-raw,format=RGBA ! "
                     "appsink name=out sync=false",
                     source, nullptr, output, limit, "decoding it", error);
}

Raw raw_of(const SDL_Surface* picture)
{
    Raw output{picture->w, picture->h, {}};
    size_t row = static_cast<size_t>(output.width) * 4;
    output.rgba.resize(row * output.height);
    for (int y = 0; y < output.height; y++)
        memcpy(&output.rgba[row * y],
               static_cast<const uint8_t*>(picture->pixels) + static_cast<size_t>(picture->pitch) * y, row);
    return output;
}

int new_band(UniqueSurface& band, std::string& error)
{
    band = make_surface(BANNER_WIDTH, BANNER_HEIGHT);
    if (!band) {
        error = "out of memory";
        return -1;
    }
    SDL_FillRect(band.get(), nullptr, SDL_MapRGBA(band->format, 0, 0, 0, SDL_ALPHA_OPAQUE));
    return 0;
}

int paint_blurred_fill(SDL_Surface* band, const Raw& picture, std::chrono::milliseconds limit, std::string& error)
{
    Raw blocks, fill;
    // Bilinear spreads the few blocks into smooth gradients: nothing sharp is left to alias.
    if (scale(crop_to_band(picture), BLUR_WIDTH, BLUR_HEIGHT, "lanczos", limit, blocks, error) != 0 ||
        scale(blocks, BANNER_WIDTH, BANNER_HEIGHT, "bilinear", limit, fill, error) != 0)
        return -1;
    UniqueSurface surface = surface_of(fill);
    SDL_SetSurfaceBlendMode(surface.get(), SDL_BLENDMODE_NONE);
    SDL_SetSurfaceColorMod(surface.get(), BLUR_BRIGHTNESS, BLUR_BRIGHTNESS, BLUR_BRIGHTNESS);
    return SDL_BlitSurface(surface.get(), nullptr, band, nullptr);
}

int place_fitted(SDL_Surface* band, const Raw& picture, int box_width, int box_height, std::chrono::milliseconds limit,
                 std::string& error)
{
    int width, height;
    fit_size(picture.width, picture.height, box_width, box_height, false, width, height);
    Raw scaled;
    return scale(picture, width, height, "lanczos", limit, scaled, error) != 0 ? -1
                                                                              : blit_centred(band, scaled, error);
}

int write_png(SDL_Surface* band, int fd, std::string& error)
{
    FILE* file = fdopen(fd, "wb");
    if (!file) {
        close(fd);
        error = strerror(errno);
        return -1;
    }
    SDL_RWops* output = SDL_RWFromFP(file, SDL_TRUE);
    if (!output) {
        fclose(file);
        error = SDL_GetError();
        return -1;
    }
    int saved = IMG_SavePNG_RW(band, output, 0);
    bool durable = fflush(file) == 0 && fsync(fileno(file)) == 0;
    SDL_RWclose(output);
    if (saved != 0 || !durable) {
        error = saved != 0 ? SDL_GetError() : "the PNG cannot be written";
        return -1;
    }
    return 0;
}

int media_convert_init()
{
    gst_init(nullptr, nullptr);
    constexpr int NEEDED = IMG_INIT_PNG | IMG_INIT_WEBP;
    return (IMG_Init(NEEDED) & NEEDED) == NEEDED ? 0 : -1;
}

void fit_size(int width, int height, int box_width, int box_height, bool even, int& fit_width, int& fit_height)
{
    int64_t w = std::max(width, 1);
    int64_t h = std::max(height, 1);
    if (w * box_height >= h * box_width) {
        fit_width = box_width;
        fit_height = static_cast<int>((h * box_width + w / 2) / w);
    } else {
        fit_height = box_height;
        fit_width = static_cast<int>((w * box_height + h / 2) / h);
    }
    if (even) {
        fit_width &= ~1;
        fit_height &= ~1;
    }
    int least = even ? 2 : 1;
    fit_width = std::max(fit_width, least);
    fit_height = std::max(fit_height, least);
}

int convert_picture(const std::string& source, int fd, const picture_options& options, std::string& error)
{
    Raw picture;
    UniqueSurface band;
    if (decode_picture(source, options.no_progress, picture, error) != 0) {
        error = "not a picture that can be decoded (" + error + ")";
        close(fd);
        return -1;
    }
    if (fit_to_band(picture, options, band, error) != 0) {
        close(fd);
        return -1;
    }
    return write_png(band.get(), fd, error);
}

bool animated_picture(const std::string& file)
{
    std::string error;
    UniqueAnimation loaded = load_animation(file, error);
    return loaded && loaded->count > 1;
}

int decode_animation(const std::string& source, animation& output, std::string& error)
{
    UniqueAnimation loaded = load_animation(source, error);
    if (!loaded)
        return -1;
    for (int i = 0; i < loaded->count; i++) {
        UniqueSurface frame(SDL_ConvertSurfaceFormat(loaded->frames[i], SURFACE_FORMAT, 0));
        if (!frame) {
            error = SDL_GetError();
            return -1;
        }
        output.frames.push_back(raw_of(frame.get()));
        output.delays_ms.push_back(loaded->delays[i]);
    }
    return 0;
}
