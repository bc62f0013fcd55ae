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

// The screen band the video thread draws into, in GL coordinates (origin bottom-left).
inline constexpr int BAND_Y = 720;
inline constexpr int BAND_WIDTH = 1920;
inline constexpr int BAND_HEIGHT = 360;

// Brings the renderer up on the calling thread for NV12 frames drawn into the band; 0 or -1.
int start_band_renderer();

// Takes frames from the decoder queue as the video thread does in video mode and records them,
// on a thread of its own. With `draw` it draws them with render_texture (that thread owns the
// GL context); without, it only releases them, and so keeps up with any stream.
class FrameConsumer {
public:
    explicit FrameConsumer(bool draw);
    ~FrameConsumer();
    // Whether the consumer runs (with the renderer up, when drawing).
    bool running() const { return state_ == RUNNING; }
    std::vector<SeenFrame> frames();

private:
    enum { STARTING, RUNNING, FAILED };
    void run(bool draw);
    std::atomic<int> state_{STARTING};
    std::atomic<int> stop_{0};
    std::mutex mutex_;
    std::vector<SeenFrame> frames_;
    std::thread thread_;
};

} // namespace playback_test
