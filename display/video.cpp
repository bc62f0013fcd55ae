// The video thread: brings the display up, then draws queued video frames or the current
// picture into the top 1920x360 band until it is told to stop.
#include "display/video.h"

#include "core/events.h"
#include "display/display_device.h"
#include "display/drm_output.h"
#include "display/opengl.h"
#include "playback/queue.h"

#include <gst/video/video.h>
#include <pthread.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
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

// The screen state has no wake-up of its own: a thread showing a still, or one waiting for the
// screen to come on, looks at it this often.
constexpr auto SCREEN_POLL = std::chrono::microseconds(100000);
constexpr auto IDLE_SLEEP = std::chrono::microseconds(40000);
// With an empty queue the thread waits this long before looking again rather than polling
// without pause: a busy poll would take a whole core of the board's two from the decoder and
// the other threads. The queue offers nothing to wait on, and 1 ms is far below one refresh
// period (16.7 ms), so a frame is still drawn before its flip could be due.
constexpr auto EMPTY_QUEUE_SLEEP = std::chrono::microseconds(1000);
// A still is drawn once, so it must not be finished while the previous flip is pending (it would
// never be shown): its draw waits for that flip, a refresh period at most, but never without end
// should a flip not complete (a connector switched off under it); the still is then tried again.
constexpr int FLIP_WAIT_MS = 100;

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

// Wakes the video thread when what it shows changes (the picture, the mode, the colour) or when
// it is to end. Each change increases the serial; the thread draws a still again when the serial
// it last drew differs. The mutex guards only the serial and is taken last, never held while
// taking another lock, so any thread may announce a change whatever it holds.
std::mutex wake_mutex;
std::condition_variable wake_cond;
unsigned long change_serial;

// The still on screen, as the video thread last drew it: its mode and the serial it drew; mode 0
// when the screen shows anything else (video, nothing, or it was off). Video thread only.
struct {
    int mode;
    unsigned long serial;
} still_shown;

void announce_change()
{
    {
        std::lock_guard lock(wake_mutex);
        change_serial++;
    }
    wake_cond.notify_all();
}

unsigned long current_serial()
{
    std::lock_guard lock(wake_mutex);
    return change_serial;
}

// Rests up to `period`, or less when a change after `seen` is announced.
void rest(std::chrono::microseconds period, unsigned long seen)
{
    std::unique_lock lock(wake_mutex);
    wake_cond.wait_for(lock, period, [seen] { return change_serial != seen || thread_video_exit != 0; });
}

void switch_mode(int mode, int shader)
{
    std::lock_guard lock(video_mode_mutex);
    bool changed = video_mode != mode;
    video_mode = mode;
    set_shader_index(shader);
    if (changed)
        announce_change();
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

bool is_still_mode(int mode)
{
#ifdef TAVIMORO_FACTORY
    if (mode == VIDEO_MODE_COLOR)
        return true;
#endif
    return mode == VIDEO_MODE_IMAGE;
}

// Draws the still of the mode in force (the caller holds video_mode_mutex) unless it is on screen
// as it stands, after any pending flip; says how long to rest after it.
std::chrono::microseconds draw_still(unsigned long serial)
{
    if (still_shown.mode == video_mode && still_shown.serial == serial)
        return SCREEN_POLL;
    if (wait_flip_within(FLIP_WAIT_MS) != 0)
        return std::chrono::microseconds(0);
#ifdef TAVIMORO_FACTORY
    if (video_mode == VIDEO_MODE_COLOR)
        draw_color(video_color.r, video_color.g, video_color.b);
#endif
    if (video_mode == VIDEO_MODE_IMAGE) {
        if (void (*draw)() = image_drawer.load())
            draw();
    }
    still_shown = {video_mode, serial};
    return SCREEN_POLL;
}

// One pass of the loop: draws what the mode asks for and says how long to rest after it.
std::chrono::microseconds draw_pass(unsigned long serial)
{
    if (get_hdmi_state() == 0) {
        still_shown.mode = 0;
        return SCREEN_POLL;
    }
    std::lock_guard lock(video_mode_mutex);
    if (is_still_mode(video_mode))
        return draw_still(serial);
    still_shown.mode = 0;
    if (video_mode == VIDEO_MODE_VIDEO)
        return draw_queued_frame() ? std::chrono::microseconds(0) : EMPTY_QUEUE_SLEEP;
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
    announce_change();
}

void request_image_redraw()
{
    announce_change();
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
    {
        std::lock_guard lock(wake_mutex);
        thread_video_exit = 1;
    }
    wake_cond.notify_all();
    if (!thread_video)
        return;
    thread_video->join();
    thread_video.reset();
}

void set_video_mode(int mode)
{
    std::lock_guard lock(video_mode_mutex);
    bool changed = video_mode != mode;
    video_mode = mode;
    if (changed)
        announce_change();
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
    announce_change();
}

void show_color_mode()
{
    set_video_mode(VIDEO_MODE_COLOR);
}
#endif

int video_proc(void* /*arg*/)
{
    pthread_setname_np(pthread_self(), "video");
    g_evctx = {};
    g_evctx.version = FLIP_EVENT_CONTEXT_VERSION;
    g_evctx.page_flip_handler = page_flip_handler;
    set_video_size(MODE_WIDTH, MODE_HEIGHT);
    if (init_opengl() < 0) {
        printf("Failed to init opengl!\n");
        return 0;
    }
    set_view_port(BAND_X, BAND_Y, BAND_WIDTH, BAND_HEIGHT);
    // The display comes up dark: whatever mode is in force is drawn first.
    still_shown = {};
    while (thread_video_exit == 0) {
        // Read before the pass draws, so that a change made during the draw is drawn next.
        unsigned long serial = current_serial();
        std::chrono::microseconds period = draw_pass(serial);
        if (period.count() > 0)
            rest(period, serial);
    }
    deinit_opengl();
    printf("%s: end\n", "video_proc");
    return 0;
}
