// Generates sample pictures (SDL_ttf onto SDL surfaces) and clips (GStreamer) for the simulator.
#include "sim/sample_media.h"

#include "banner/surface.h"
#include "sim/sim_board.h"

#include <SDL.h>
#include <SDL_image.h>
#include <SDL_ttf.h>
#include <gst/gst.h>

#include <filesystem>
#include <memory>

namespace fs = std::filesystem;

namespace {

constexpr const char* FONT = "/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf";
constexpr int CLIP_FRAME_RATE = 30;
constexpr int JPEG_QUALITY = 90;

struct FontDeleter {
    void operator()(TTF_Font* font) const { TTF_CloseFont(font); }
};
struct GstObjectDeleter {
    void operator()(gpointer object) const { gst_object_unref(object); }
};
struct GstMessageDeleter {
    void operator()(GstMessage* message) const { gst_message_unref(message); }
};

Uint8 channel(unsigned rgb, int shift, int step, int steps)
{
    unsigned value = (rgb >> shift) & 0xFF;
    return static_cast<Uint8>(value * (steps + step) / (2 * steps));
}

bool draw_caption(SDL_Surface* canvas, const std::string& caption)
{
    if (caption.empty())
        return true;
    std::unique_ptr<TTF_Font, FontDeleter> font(TTF_OpenFont(FONT, canvas->h / 3));
    if (!font)
        return false;
    UniqueSurface text(TTF_RenderUTF8_Blended(font.get(), caption.c_str(), SDL_Color{255, 255, 255, 255}));
    if (!text)
        return false;
    SDL_Rect where{(canvas->w - text->w) / 2, (canvas->h - text->h) / 2, text->w, text->h};
    return SDL_BlitSurface(text.get(), nullptr, canvas, &where) == 0;
}

} // namespace

int make_sample_picture(const std::string& file, int width, int height, const std::string& caption, unsigned rgb)
{
    if (TTF_WasInit() == 0 && TTF_Init() != 0)
        return -1;
    UniqueSurface canvas = make_surface(width, height);
    if (!canvas)
        return -1;
    for (int x = 0; x < width; x++) {
        SDL_Rect column{x, 0, 1, height};
        Uint32 colour = SDL_MapRGB(canvas->format, channel(rgb, 16, x, width), channel(rgb, 8, x, width),
                                   channel(rgb, 0, x, width));
        SDL_FillRect(canvas.get(), &column, colour);
    }
    if (!draw_caption(canvas.get(), caption))
        return -1;
    std::error_code error;
    fs::create_directories(fs::path(file).parent_path(), error);
    bool jpeg = fs::path(file).extension() == ".jpg";
    int saved = jpeg ? IMG_SaveJPG(canvas.get(), file.c_str(), JPEG_QUALITY) : IMG_SavePNG(canvas.get(), file.c_str());
    return saved == 0 ? 0 : -1;
}

int make_sample_clip(const std::string& file, const std::string& pattern, int seconds, int width, int height)
{
    if (!gst_is_initialized())
        gst_init(nullptr, nullptr);
    std::error_code error;
    fs::create_directories(fs::path(file).parent_path(), error);
    std::string description = "videotestsrc pattern=" + pattern + " num-buffers=" +
                              std::to_string(seconds * CLIP_FRAME_RATE) + " ! video/x-raw,width=" +
                              std::to_string(width) + ",height=" + std::to_string(height) +
                              ",framerate=" + std::to_string(CLIP_FRAME_RATE) +
                              "/1 ! x264enc speed-preset=ultrafast ! mp4mux ! filesink name=sink";
    GError* parse_error = nullptr;
    std::unique_ptr<GstElement, GstObjectDeleter> pipeline(gst_parse_launch(description.c_str(), &parse_error));
    if (parse_error) {
        g_error_free(parse_error);
        return -1;
    }
    std::unique_ptr<GstElement, GstObjectDeleter> sink(gst_bin_get_by_name(GST_BIN(pipeline.get()), "sink"));
    g_object_set(sink.get(), "location", file.c_str(), nullptr);
    gst_element_set_state(pipeline.get(), GST_STATE_PLAYING);
    std::unique_ptr<GstBus, GstObjectDeleter> bus(gst_element_get_bus(pipeline.get()));
    std::unique_ptr<GstMessage, GstMessageDeleter> message(gst_bus_timed_pop_filtered(
        bus.get(), GST_CLOCK_TIME_NONE, static_cast<GstMessageType>(GST_MESSAGE_EOS | GST_MESSAGE_ERROR)));
    gst_element_set_state(pipeline.get(), GST_STATE_NULL);
    return message && GST_MESSAGE_TYPE(message.get()) == GST_MESSAGE_EOS ? 0 : -1;
}

int make_sample_media(const std::string& root)
{
    const std::string disk = root + "/media/" + SIM_DEFAULT_DISK;
    const std::string product = disk + "/vorlix";
    struct Picture {
        std::string file;
        int width, height;
        const char* caption;
        unsigned rgb;
    };
    const Picture pictures[] = {
        {root + "/rom/vorlix/vorlix-boot.png", 1920, 360, "TAVIMORO", 0x404040},
        {product + "/.assets/vorlix-boot.png", 1920, 360, "TAVIMORO ARCADE", 0x2040C0},
        {product + "/vorlix/star fighter.png", 1920, 360, "STAR FIGHTER", 0xC02020},
        {product + "/thirdparty/road racer.jpg", 1280, 320, "ROAD RACER", 0x20A040},
        {product + "/thirdparty/arcade/pquest.png", 1920, 360, "PIXEL QUEST", 0xC0A020},
        {product + "/ext/moon miner.png", 2400, 400, "MOON MINER", 0x8020C0},
    };
    for (const Picture& picture : pictures) {
        if (make_sample_picture(picture.file, picture.width, picture.height, picture.caption, picture.rgb) != 0)
            return -1;
    }
    struct Clip {
        std::string file;
        const char* pattern;
        int seconds;
    };
    const Clip clips[] = {
        {root + "/rom/vorlix/vorlix-boot.mp4", "ball", 4},
        {product + "/.assets/vorlix-boot.mp4", "smpte", 4},
        {product + "/vorlix/star fighter.mp4", "pinwheel", 4},
        {product + "/ext/road racer.mp4", "zone-plate", 4},
        {product + "/thirdparty/arcade/pquest.mp4", "circular", 4},
        {disk + "/smile_300.mp4", "snow", 3},
    };
    for (const Clip& clip : clips) {
        if (make_sample_clip(clip.file, clip.pattern, clip.seconds, 960, 180) != 0)
            return -1;
    }
    return 0;
}
