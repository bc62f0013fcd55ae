// Consumes and draws decoded frames like the video thread.
#include "tests/playback/frame_consumer.h"

#include "display/opengl.h"
#include "display/video.h"

#include <gst/video/video.h>

#include <chrono>

namespace playback_test {

namespace {

constexpr auto CONSUMER_POLL = std::chrono::milliseconds(1);

} // namespace

int start_band_renderer()
{
    if (init_opengl() != 0)
        return -1;
    set_shader_index(SHADER_INDEX_NV12);
    set_view_port(0, BAND_Y, BAND_WIDTH, BAND_HEIGHT);
    return 0;
}

FrameConsumer::FrameConsumer(bool draw) : thread_([this, draw] { run(draw); })
{
    while (state_ == STARTING)
        std::this_thread::sleep_for(CONSUMER_POLL);
}

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

void FrameConsumer::run(bool draw)
{
    if (draw && start_band_renderer() != 0) {
        state_ = FAILED;
        return;
    }
    state_ = RUNNING;
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
        if (draw)
            render_texture(taken.buffer);
        else
            wld_destroy_buffer(taken.buffer);
    }
    if (draw)
        deinit_opengl();
}

} // namespace playback_test
