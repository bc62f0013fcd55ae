// Frame path throughput for a 1920x1080 H.264 clip on the virtual display: frames per second
// through handoff -> queue -> render_texture -> draw_frame against decoding alone (both
// unsynchronised), and the frames the queue drops when a 1080p30 clip plays normally.
#include "display/display_device.h"
#include "display/opengl.h"
#include "display/video.h"
#include "playback/decoder_standin.h"
#include "playback/playbin.h"
#include "playback/queue.h"
#include "sim/sample_media.h"

#include <gst/gst.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>

namespace {

constexpr int CLIP_SECONDS = 5;
constexpr int CLIP_WIDTH = 1920;
constexpr int CLIP_HEIGHT = 1080;
// The band the video thread draws into, in GL coordinates.
constexpr int BAND_Y = 720;
constexpr int BAND_HEIGHT = 360;
constexpr auto POLL = std::chrono::milliseconds(1);
constexpr auto PLAY_TIMEOUT = std::chrono::seconds(CLIP_SECONDS * 4);

using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point start)
{
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// Draws queued frames as the video thread does in video mode, on a thread owning the GL context.
class Renderer {
public:
    Renderer() : thread_([this] { run(); }) {}
    ~Renderer()
    {
        stop_ = 1;
        thread_.join();
    }
    bool ready()
    {
        while (state_ == STARTING)
            std::this_thread::sleep_for(POLL);
        return state_ == RUNNING;
    }
    int drawn() const { return drawn_; }
    int64_t last_id() const { return last_id_; }

private:
    enum { STARTING, RUNNING, FAILED };

    void run()
    {
        g_evctx.version = DRM_EVENT_CONTEXT_VERSION;
        g_evctx.page_flip_handler = page_flip_handler;
        if (init_opengl() != 0) {
            state_ = FAILED;
            return;
        }
        set_shader_index(SHADER_INDEX_NV12);
        set_view_port(0, BAND_Y, CLIP_WIDTH, BAND_HEIGHT);
        state_ = RUNNING;
        video_buffer frame{nullptr, 0};
        while (!stop_) {
            if (linkqueue_isempty(decoder_list) || linkqueue_dequeue(decoder_list, &frame) != 0)
                continue;
            last_id_ = frame.id;
            if (render_texture(frame.buffer) == 0)
                ++drawn_;
        }
        deinit_opengl();
    }

    std::atomic<int> state_{STARTING};
    std::atomic<int> stop_{0};
    std::atomic<int> drawn_{0};
    std::atomic<int64_t> last_id_{0};
    std::thread thread_;
};

std::atomic<int> decoded{0};

void count_frame(GstElement*, GstBuffer*, GstPad*, void*)
{
    ++decoded;
}

// Plays `clip` as fast as it decodes through the player's sink arrangement, with `handoff`
// on every frame; seconds from PLAYING to the end of the stream, or -1.
double play_unsynchronised(const std::string& clip, GCallback handoff)
{
    GstElement* pipeline = gst_element_factory_make("playbin", nullptr);
    GstElement* sink = gst_element_factory_make("fakesink", nullptr);
    g_object_set(sink, "sync", FALSE, "qos", FALSE, "signal-handoffs", TRUE, nullptr);
    g_signal_connect(sink, "handoff", handoff, nullptr);
    const std::string uri = "file://" + clip;
    g_object_set(pipeline, "uri", uri.c_str(), "video-sink", make_decoder_standin(sink), "audio-sink",
                 gst_element_factory_make("fakesink", nullptr), nullptr);
    const Clock::time_point start = Clock::now();
    gst_element_set_state(pipeline, GST_STATE_PLAYING);
    GstBus* bus = gst_element_get_bus(pipeline);
    GstMessage* end = gst_bus_timed_pop_filtered(
        bus, GST_CLOCK_TIME_NONE, GstMessageType(GST_MESSAGE_EOS | GST_MESSAGE_ERROR));
    const double elapsed = GST_MESSAGE_TYPE(end) == GST_MESSAGE_EOS ? seconds_since(start) : -1;
    gst_message_unref(end);
    gst_object_unref(bus);
    gst_element_set_state(pipeline, GST_STATE_NULL);
    gst_object_unref(pipeline);
    return elapsed;
}

bool wait_for(const auto& condition, std::chrono::seconds timeout)
{
    const Clock::time_point start = Clock::now();
    while (!condition()) {
        if (Clock::now() - start > timeout)
            return false;
        std::this_thread::sleep_for(POLL);
    }
    return true;
}

int run(const std::string& clip)
{
    const double decode_time = play_unsynchronised(clip, G_CALLBACK(count_frame));
    if (decode_time <= 0)
        return 1;
    const double decode_fps = decoded / decode_time;
    printf("decoding alone: %.1f frames/s (%d frames in %.2f s)\n", decode_fps, decoded.load(), decode_time);

    {
        Renderer renderer;
        if (!renderer.ready())
            return 1;
        const Clock::time_point start = Clock::now();
        if (play_unsynchronised(clip, G_CALLBACK(processNewBuffer)) <= 0)
            return 1;
        wait_for([] { return linkqueue_isempty(decoder_list); }, std::chrono::seconds(1));
        const double elapsed = seconds_since(start);
        const double path_fps = renderer.drawn() / elapsed;
        printf("handoff -> queue -> render_texture -> draw_frame: %.1f frames/s (%d of %lld frames drawn in %.2f s)\n",
               path_fps, renderer.drawn(), static_cast<long long>(renderer.last_id()), elapsed);
        printf("ratio to decoding alone: %.2f\n", path_fps / decode_fps);
    }

    Renderer renderer;
    if (!renderer.ready())
        return 1;
    reset_stream_geometry();
    init_player_thread();
    if (!wait_for([] { return get_player_state() == PLAYER_STATE_READY; }, PLAY_TIMEOUT))
        return 1;
    gst_player_ready();
    set_video_file(clip.c_str());
    gst_player_play();
    const bool ended = wait_for([] { return get_player_state() == PLAYER_STATE_STOPPED; }, PLAY_TIMEOUT);
    deinit_player_thread();
    if (!ended)
        return 1;
    const int64_t handed = renderer.last_id();
    printf("played at 30 frames/s: %lld frames handed over, %d drawn, %lld dropped by the queue\n",
           static_cast<long long>(handed), renderer.drawn(), static_cast<long long>(handed - renderer.drawn()));
    return 0;
}

} // namespace

int main()
{
    setvbuf(stdout, nullptr, _IONBF, 0);
    // The virtual display needs a board root without a card node: a private temporary one.
    std::string root = (std::filesystem::temp_directory_path() / "tavimoro-playback-bench-XXXXXX").string();
    if (!mkdtemp(root.data())) {
        perror("mkdtemp");
        return 1;
    }
    setenv("TAVIMORO_ROOT", root.c_str(), 1);
    gst_init(nullptr, nullptr);
    init_decoder_queue();
    const std::string clip = root + "/bench-1080p30.mp4";
    int status = 1;
    if (make_sample_clip(clip, "smpte", CLIP_SECONDS, CLIP_WIDTH, CLIP_HEIGHT) == 0)
        status = run(clip);
    else
        printf("cannot encode %s\n", clip.c_str());
    release_decoder_queue();
    std::filesystem::remove_all(root);
    return status;
}
