// Test media for playback: tiny H.264 clips encoded at test time, and a stand-in video thread.
#pragma once

#include "playback/queue.h"

#include <gst/gst.h>

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace playback_test {

struct ClipFormat {
    int width;
    int height;
    int fps;
    int frames;
    // videotestsrc pattern name, e.g. "smpte", "red", "blue".
    const char* pattern;
};

// Encodes `format` as an H.264 MP4 file at `path`; false when the encoder failed.
bool encode_clip(const std::string& path, const ClipFormat& format);

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
