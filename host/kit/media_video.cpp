// Videos transcoded for the band in-process with GStreamer: decodebin, Lanczos scaling into the
// box, x264enc and mp4mux, the sound kept as AAC when asked; and animated pictures made videos
// through the same encoder, their frames pushed through appsrc.
#include "host/kit/media_convert.h"

#include "host/kit/media_picture.h"
#include "host/kit/media_pipeline.h"
#include "playback/plug_gate.h"

#include <gst/app/gstappsrc.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace {

// The board's decoder is sure to play Main profile at level 4.0 (up to 1920x1080 at 30 frames a
// second); 30 frames a second is also the most the band needs.
constexpr const char* ENCODER =
    "videoconvert ! video/x-raw,format=I420 ! x264enc speed-preset=faster pass=qual quantizer=21 "
    "option-string=level=4.0 ! video/x-h264,profile=main,stream-format=avc,alignment=au ! mp4mux name=mux ! "
    "fdsink name=sink";
constexpr const char* VIDEO_DECODER =
    "filesrc name=source ! decodebin name=decode "
    "queue name=video ! videoconvert ! videorate drop-only=true max-rate=30 ! "
    "videoscale method=lanczos add-borders=false ! capsfilter name=size ! ";
// An animation's frames are pushed at a steady 30 a second, each repeated for as long as it is
// shown (videorate would drop the last frame's time at the end of the stream).
constexpr int ANIMATION_RATE = 30;
constexpr const char* ANIMATION_SOURCE = "appsrc name=in format=time ! ";
// Frames the encoder has not taken yet, at most: the rest wait to be composed.
constexpr guint64 QUEUED_BYTES = 4ull * BANNER_WIDTH * BANNER_HEIGHT * 4;
// A frame shown for less than this is shown for DEFAULT_DELAY_MS, as browsers show such GIFs.
constexpr int SHORTEST_DELAY_MS = 20;
constexpr int DEFAULT_DELAY_MS = 100;
constexpr const char* AUDIO_BRANCH = "queue ! audioconvert ! audioresample ! avenc_aac";

// Links each decoded stream as it appears: the video into the encoder (scaled into the box now
// that its size is known), the sound into an AAC encoder when it is kept; the rest is left.
struct Transcode {
    GstElement* pipeline;
    video_options options;
    bool video_linked = false;
    bool audio_linked = false;
};

void link_video(GstPad* pad, GstCaps* caps, Transcode& job)
{
    const GstStructure* s = gst_caps_get_structure(caps, 0);
    int width = 0, height = 0, par_n = 1, par_d = 1;
    gst_structure_get_int(s, "width", &width);
    gst_structure_get_int(s, "height", &height);
    gst_structure_get_fraction(s, "pixel-aspect-ratio", &par_n, &par_d);
    int shown_width = par_d > 0 ? static_cast<int>(static_cast<int64_t>(width) * par_n / par_d) : width;
    int fit_width, fit_height;
    fit_size(shown_width, height, job.options.box_width, job.options.box_height, true, fit_width, fit_height);
    UniqueElement size(gst_bin_get_by_name(GST_BIN(job.pipeline), "size"));
    std::string text = "video/x-raw,width=" + std::to_string(fit_width) + ",height=" + std::to_string(fit_height) +
                       ",pixel-aspect-ratio=1/1";
    GstCaps* fitted = gst_caps_from_string(text.c_str());
    g_object_set(size.get(), "caps", fitted, nullptr);
    gst_caps_unref(fitted);
    UniqueElement queue(gst_bin_get_by_name(GST_BIN(job.pipeline), "video"));
    std::unique_ptr<GstPad, GstUnref> sink(gst_element_get_static_pad(queue.get(), "sink"));
    job.video_linked = gst_pad_link(pad, sink.get()) == GST_PAD_LINK_OK;
}

void link_audio(GstPad* pad, Transcode& job)
{
    GstElement* branch = gst_parse_bin_from_description(AUDIO_BRANCH, TRUE, nullptr);
    if (!branch)
        return;
    gst_bin_add(GST_BIN(job.pipeline), branch);
    UniqueElement mux(gst_bin_get_by_name(GST_BIN(job.pipeline), "mux"));
    std::unique_ptr<GstPad, GstUnref> sink(gst_element_get_static_pad(branch, "sink"));
    if (gst_element_link(branch, mux.get()) && gst_element_sync_state_with_parent(branch))
        job.audio_linked = gst_pad_link(pad, sink.get()) == GST_PAD_LINK_OK;
}

void on_pad_added(GstElement*, GstPad* pad, gpointer data)
{
    auto& job = *static_cast<Transcode*>(data);
    GstCaps* caps = gst_pad_get_current_caps(pad);
    if (!caps)
        caps = gst_pad_query_caps(pad, nullptr);
    const char* kind = gst_structure_get_name(gst_caps_get_structure(caps, 0));
    if (g_str_has_prefix(kind, "video/x-raw") && !job.video_linked)
        link_video(pad, caps, job);
    else if (g_str_has_prefix(kind, "audio/x-raw") && job.options.audio && !job.audio_linked)
        link_audio(pad, job);
    gst_caps_unref(caps);
}

void on_no_more_pads(GstElement* decode, gpointer data)
{
    if (!static_cast<Transcode*>(data)->video_linked)
        GST_ELEMENT_ERROR(decode, STREAM, WRONG_TYPE, ("no video stream the encoder can take"), (nullptr));
}

// Waits for the end of the stream, then syncs and closes `fd`; a pipeline through which nothing
// has moved for `limit` is given up, saying where it stopped.
int finish(const Pipeline& pipeline, const Progress& progress, int fd, std::chrono::milliseconds limit,
           std::string& error)
{
    std::unique_ptr<GstBus, GstUnref> bus(gst_element_get_bus(pipeline.element.get()));
    int result = -1;
    for (;;) {
        UniqueMessage message(gst_bus_timed_pop_filtered(
            bus.get(), POLL, static_cast<GstMessageType>(GST_MESSAGE_EOS | GST_MESSAGE_ERROR)));
        if (message) {
            if (GST_MESSAGE_TYPE(message.get()) == GST_MESSAGE_ERROR)
                error = error_text(message.get());
            else
                result = 0;
            break;
        }
        if (progress.stalled(limit)) {
            error = "no progress for " + seconds_text(limit) + " (" + position_text(pipeline) +
                    ", and GStreamer reported no error)";
            break;
        }
    }
    gst_element_set_state(pipeline.element.get(), GST_STATE_NULL);
    if (result == 0 && fsync(fd) != 0) {
        error = strerror(errno);
        result = -1;
    }
    close(fd);
    return result;
}

// Pushes the animation's frames, each fitted to the band as its picture is, with their times;
// waits while the encoder is behind, as long as it moves.
int push_frames(const Pipeline& pipeline, Progress& progress, const animation& frames, const picture_options& options,
                std::string& error)
{
    UniqueElement in = pipeline.child("in");
    GstAppSrc* source = GST_APP_SRC(in.get());
    std::string caps = "video/x-raw,format=RGBA,width=" + std::to_string(BANNER_WIDTH) +
                       ",height=" + std::to_string(BANNER_HEIGHT) + ",framerate=" + std::to_string(ANIMATION_RATE) +
                       "/1,pixel-aspect-ratio=1/1";
    GstCaps* band_caps = gst_caps_from_string(caps.c_str());
    gst_app_src_set_caps(source, band_caps);
    gst_caps_unref(band_caps);
    int64_t shown_ms = 0, pushed = 0;
    for (size_t i = 0; i < frames.frames.size(); i++) {
        UniqueSurface band;
        if (fit_to_band(frames.frames[i], options, band, error) != 0)
            return -1;
        progress.touch();
        Raw pixels = raw_of(band.get());
        std::unique_ptr<GstBuffer, decltype(&gst_buffer_unref)> buffer(
            gst_buffer_new_memdup(pixels.rgba.data(), pixels.rgba.size()), gst_buffer_unref);
        shown_ms += frames.delays_ms[i] < SHORTEST_DELAY_MS ? DEFAULT_DELAY_MS : frames.delays_ms[i];
        // Rounded on the whole time so far, so that the video lasts as long as the animation.
        for (int64_t end = std::max(pushed + 1, (shown_ms * ANIMATION_RATE + 500) / 1000); pushed < end; pushed++) {
            while (gst_app_src_get_current_level_bytes(source) > QUEUED_BYTES)
                if (bus_error(pipeline, POLL, error) || progress.stalled(options.no_progress)) {
                    if (error.empty())
                        error = "no progress for " + seconds_text(options.no_progress) + " encoding frame " +
                                std::to_string(i + 1);
                    return -1;
                }
            // Copies share the pixels.
            GstBuffer* copy = gst_buffer_copy(buffer.get());
            GST_BUFFER_PTS(copy) = gst_util_uint64_scale(pushed, GST_SECOND, ANIMATION_RATE);
            GST_BUFFER_DURATION(copy) = gst_util_uint64_scale(1, GST_SECOND, ANIMATION_RATE);
            gst_app_src_push_buffer(source, copy);
        }
    }
    gst_app_src_end_of_stream(source);
    return 0;
}

} // namespace

int convert_video(const std::string& source, int fd, const video_options& options, std::string& error)
{
    Progress progress;
    Pipeline pipeline;
    if (launch(std::string(VIDEO_DECODER) + ENCODER, pipeline, error) != 0) {
        close(fd);
        return -1;
    }
    Transcode job{pipeline.element.get(), options};
    g_object_set(pipeline.child("source").get(), "location", source.c_str(), nullptr);
    g_object_set(pipeline.child("sink").get(), "fd", fd, nullptr);
    UniqueElement decode = pipeline.child("decode");
    g_signal_connect(decode.get(), "pad-added", G_CALLBACK(on_pad_added), &job);
    g_signal_connect(decode.get(), "no-more-pads", G_CALLBACK(on_no_more_pads), &job);
    gate_decodebin(decode.get());
    // Data read from the file, decoded frames on their way to the encoder, and the MP4 written.
    progress.watch(pipeline, "source", "src");
    progress.watch(pipeline, "video", "src");
    progress.watch(pipeline, "sink", "sink");
    gst_element_set_state(pipeline.element.get(), GST_STATE_PLAYING);
    return finish(pipeline, progress, fd, options.no_progress, error);
}

int convert_animation(const std::string& source, int fd, const picture_options& options, std::string& error)
{
    animation frames;
    Progress progress;
    Pipeline pipeline;
    if (decode_animation(source, frames, error) != 0 ||
        launch(std::string(ANIMATION_SOURCE) + ENCODER, pipeline, error) != 0) {
        close(fd);
        return -1;
    }
    g_object_set(pipeline.child("sink").get(), "fd", fd, nullptr);
    // Frames composed and pushed, and the MP4 written.
    progress.watch(pipeline, "in", "src");
    progress.watch(pipeline, "sink", "sink");
    gst_element_set_state(pipeline.element.get(), GST_STATE_PLAYING);
    if (push_frames(pipeline, progress, frames, options, error) != 0) {
        close(fd);
        return -1;
    }
    return finish(pipeline, progress, fd, options.no_progress, error);
}
