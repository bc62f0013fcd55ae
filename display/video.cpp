// The video thread: brings the display up, then draws queued video frames or the current
// picture into the top 1920x360 band until it is told to stop.
#include "display/video.h"

#include "core/build_variant.h"
#include "core/events.h"
#include "display/display_device.h"
#include "display/drm_output.h"
#include "display/opengl.h"
#include "playback/queue.h"

#include <gst/video/video.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <memory>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>

namespace {

// The dispatch-table layout the flip handler is registered with.
constexpr int FLIP_EVENT_CONTEXT_VERSION = 3;
// The picture band: the top 360 rows of the output, in GL window coordinates.
constexpr int BAND_X = 0;
constexpr int BAND_Y = 720;
constexpr int BAND_WIDTH = 1920;
constexpr int BAND_HEIGHT = 360;

constexpr auto SCREEN_OFF_SLEEP = std::chrono::microseconds(100000);
constexpr auto IDLE_SLEEP = std::chrono::microseconds(40000);
// With an empty queue the thread waits this long before looking again rather than polling
// without pause: a busy poll would take a whole core of the board's two from the decoder and
// the other threads. The queue offers nothing to wait on, and 1 ms is far below one refresh
// period (16.7 ms), so a frame is still drawn before its flip could be due.
constexpr auto EMPTY_QUEUE_SLEEP = std::chrono::microseconds(1000);

// Guards the mode together with the renderer's frame format: a switch changes both in one
// hold, and each pass holds it from reading the mode until its frame is drawn, so no frame is
// ever drawn in the other mode's format (an NV12 frame read as RGBA would be read past its end).
std::mutex video_mode_mutex;
int video_mode = 0;
#ifdef TAVIMORO_FACTORY
// The colour mode's fill; guarded by video_mode_mutex like the mode it belongs to.
struct {
    float r, g, b;
} video_color;
#endif

// What image mode draws, registered by the layer that owns the current picture.
std::atomic<void (*)()> image_drawer{nullptr};

std::unique_ptr<std::thread> thread_video;
std::atomic<int> thread_video_exit{0};
// The frame taken from the queue; belongs to the video thread.
video_buffer frame_record{nullptr, 0};

void switch_mode(int mode, int shader)
{
    std::lock_guard lock(video_mode_mutex);
    video_mode = mode;
    set_shader_index(shader);
}

// Draws the oldest queued frame; false when the queue had none.
bool draw_queued_frame()
{
    if (!decoder_list || linkqueue_isempty(decoder_list))
        return false;
    // Only a frame this removal returned is ours to draw and release.
    if (linkqueue_dequeue(decoder_list, &frame_record) != 0)
        return false;
    if (frame_record.buffer)
        render_texture(frame_record.buffer);
    return true;
}

// One pass of the loop: draws what the mode asks for and says how long to rest after it.
std::chrono::microseconds draw_pass()
{
    if (get_hdmi_state() == 0)
        return SCREEN_OFF_SLEEP;
    std::lock_guard lock(video_mode_mutex);
    if (video_mode == VIDEO_MODE_VIDEO)
        return draw_queued_frame() ? std::chrono::microseconds(0) : EMPTY_QUEUE_SLEEP;
    if (video_mode == VIDEO_MODE_IMAGE) {
        if (void (*draw)() = image_drawer.load())
            draw();
        return IMAGE_REDRAW_SLEEP;
    }
#ifdef TAVIMORO_FACTORY
    if (video_mode == VIDEO_MODE_COLOR) {
        draw_color(video_color.r, video_color.g, video_color.b);
        return IMAGE_REDRAW_SLEEP;
    }
#endif
    return IDLE_SLEEP;
}

// Bytes an NV12 frame of this geometry spans: the luma plane and the half-height chroma plane.
gsize nv12_size(frame_geometry g)
{
    const gsize luma = static_cast<gsize>(g.width) * static_cast<gsize>(g.height);
    return luma + static_cast<gsize>(g.width) * static_cast<gsize>((g.height + 1) / 2);
}

// Maps the frame for reading and hands it to the renderer, unless it is smaller than its
// geometry says (the renderer would read past it).
void draw_mapped(GstBuffer* buffer, frame_geometry g)
{
    GstMapInfo map;
    if (!gst_buffer_map(buffer, &map, GST_MAP_READ))
        return;
    if (map.size >= nv12_size(g))
        draw_frame(reinterpret_cast<char*>(map.data), g.width, g.height);
    gst_buffer_unmap(buffer, &map);
}

} // namespace

int render_texture(GstBuffer* buffer)
{
    if (!buffer)
        return -1;
    const frame_geometry g = get_frame_geometry(buffer);
    if (g.width == 0 && g.height == 0) {
        wld_destroy_buffer(buffer);
        return -1;
    }
    // Only frames described by a video meta are in the layout the renderer reads.
    if (gst_buffer_get_video_meta(buffer))
        draw_mapped(buffer, g);
    wld_destroy_buffer(buffer);
    return 0;
}

void set_image_drawer(void (*draw)())
{
    image_drawer = draw;
}

int init_video_thread()
{
    if (thread_video)
        return 1;
    thread_video_exit = 0;
    // The handle is only set once the thread runs; a failed start leaves it null.
    try {
        thread_video = std::make_unique<std::thread>(video_proc, nullptr);
    } catch (const std::system_error& e) {
        errno = e.code().value();
        perror("Thread creation failed!");
        return -1;
    } catch (const std::bad_alloc&) {
        return -1;
    }
    return 0;
}

void deinit_video_thread()
{
    thread_video_exit = 1;
    if (!thread_video)
        return;
    thread_video->join();
    thread_video.reset();
}

void set_video_mode(int mode)
{
    std::lock_guard lock(video_mode_mutex);
    video_mode = mode;
}

void show_video_mode()
{
    switch_mode(VIDEO_MODE_VIDEO, SHADER_INDEX_NV12);
}

void show_image_mode()
{
    switch_mode(VIDEO_MODE_IMAGE, SHADER_INDEX_RGBA);
}

#ifdef TAVIMORO_FACTORY
void set_video_color(float r, float g, float b)
{
    std::lock_guard lock(video_mode_mutex);
    video_color = {r, g, b};
}

void show_color_mode()
{
    set_video_mode(VIDEO_MODE_COLOR);
}
#endif

int video_proc(void* /*arg*/)
{
    g_evctx = {};
    g_evctx.version = FLIP_EVENT_CONTEXT_VERSION;
    g_evctx.page_flip_handler = page_flip_handler;
    set_video_size(MODE_WIDTH, MODE_HEIGHT);
    if (init_opengl() < 0) {
        printf("Failed to init opengl!\n");
        return 0;
    }
    set_view_port(BAND_X, BAND_Y, BAND_WIDTH, BAND_HEIGHT);
    while (thread_video_exit == 0) {
        std::chrono::microseconds rest = draw_pass();
        if (rest.count() > 0)
            std::this_thread::sleep_for(rest);
    }
    deinit_opengl();
    printf("%s: end\n", "video_proc");
    return 0;
}
