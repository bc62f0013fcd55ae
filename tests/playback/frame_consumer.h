// A stand-in for the video thread that records the frames it takes from the decoder queue.
#pragma once

#include "playback/queue.h"

#include <gst/gst.h>

#include <atomic>
#include <mutex>
#include <thread>
#include <vector>

namespace playback_test {

// What the consumer saw of one frame it took from the decoder queue.
struct SeenFrame {
    int64_t id;
    GstClockTime pts;
    frame_geometry geometry;
    // From the frame's video meta, GST_VIDEO_FORMAT_UNKNOWN without one.
    int format;
    int n_planes;
};

// Takes frames from the decoder queue as the video thread does, records them and hands them to
// render_texture.
class FrameConsumer {
public:
    FrameConsumer();
    ~FrameConsumer();
    std::vector<SeenFrame> frames();

private:
    void run();
    std::atomic<int> stop_{0};
    std::mutex mutex_;
    std::vector<SeenFrame> frames_;
    std::thread thread_;
};

} // namespace playback_test
