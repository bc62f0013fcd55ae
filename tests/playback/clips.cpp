// Encodes the test clips with GStreamer and consumes decoded frames like the video thread.
#include "tests/playback/clips.h"

#include <gst/video/video.h>

#include <chrono>
#include <memory>

namespace playback_test {

namespace {

constexpr GstClockTime ENCODE_TIMEOUT = 20 * GST_SECOND;
constexpr auto CONSUMER_POLL = std::chrono::milliseconds(1);

} // namespace

bool encode_clip(const std::string& path, const ClipFormat& f)
{
    gst_init(nullptr, nullptr);
    const std::string description = "videotestsrc pattern=" + std::string(f.pattern) + " num-buffers=" +
        std::to_string(f.frames) + " ! video/x-raw,format=I420,width=" + std::to_string(f.width) +
        ",height=" + std::to_string(f.height) + ",framerate=" + std::to_string(f.fps) +
        "/1 ! x264enc key-int-max=" + std::to_string(f.fps) + " ! mp4mux ! filesink name=out";
    GError* error = nullptr;
    GstElement* pipeline = gst_parse_launch(description.c_str(), &error);
    if (!pipeline) {
        g_clear_error(&error);
        return false;
    }
    GstElement* out = gst_bin_get_by_name(GST_BIN(pipeline), "out");
    g_object_set(out, "location", path.c_str(), nullptr);
    gst_object_unref(out);
    gst_element_set_state(pipeline, GST_STATE_PLAYING);
    GstBus* bus = gst_element_get_bus(pipeline);
    GstMessage* message = gst_bus_timed_pop_filtered(bus, ENCODE_TIMEOUT,
                                                     GstMessageType(GST_MESSAGE_EOS | GST_MESSAGE_ERROR));
    const bool done = message && GST_MESSAGE_TYPE(message) == GST_MESSAGE_EOS;
    if (message)
        gst_message_unref(message);
    gst_object_unref(bus);
    gst_element_set_state(pipeline, GST_STATE_NULL);
    gst_object_unref(pipeline);
    return done;
}

FrameConsumer::FrameConsumer() : thread_([this] { run(); }) {}

FrameConsumer::~FrameConsumer()
{
    stop_ = 1;
    thread_.join();
}

std::vector<SeenFrame> FrameConsumer::frames()
{
    std::lock_guard lock(mutex_);
    return frames_;
}

void FrameConsumer::run()
{
    while (!stop_) {
        video_buffer taken{nullptr, 0};
        if (linkqueue_isempty(decoder_list) || linkqueue_dequeue(decoder_list, &taken) != 0) {
            std::this_thread::sleep_for(CONSUMER_POLL);
            continue;
        }
        const GstVideoMeta* meta = gst_buffer_get_video_meta(taken.buffer);
        SeenFrame seen{taken.id, GST_BUFFER_PTS(taken.buffer), get_frame_geometry(taken.buffer),
                       meta ? meta->format : GST_VIDEO_FORMAT_UNKNOWN, meta ? int(meta->n_planes) : 0};
        {
            std::lock_guard lock(mutex_);
            frames_.push_back(seen);
        }
        render_texture(taken.buffer);
    }
}

} // namespace playback_test
