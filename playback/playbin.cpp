// The playback pipeline: a playbin on the player thread's GLib main loop.
#include "playback/playbin.h"

#include "core/board_root.h"
#include "core/common.h"
#include "playback/decoder_standin.h"
#include "playback/plug_gate.h"
#include "playback/queue.h"

#include <glib.h>
#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>

namespace {

// Where playback resumes at the end of the stream with repeat on.
constexpr gint64 REPEAT_START = 2 * GST_SECOND;
// How long the player thread waits for the pipeline's state at its end.
constexpr GstClockTime END_STATE_QUERY_TIMEOUT = 1000;
constexpr char URI_PREFIX[] = "file://";

struct GstObjectUnref {
    void operator()(gpointer object) const { gst_object_unref(object); }
};
template <class T>
using GstPtr = std::unique_ptr<T, GstObjectUnref>;

std::atomic<int> player_state{PLAYER_STATE_IDLE};
std::atomic<int> repeat_state{0};

// Guards the URI and the pipeline handles, which the player thread creates and destroys while
// the banner and main threads drive the pipeline.
std::mutex pipeline_mutex;
char uri_file[URI_FILE_SIZE];
GstPtr<GstElement> playbin_;
GstPtr<GstElement> videoSink_;
GstPtr<GstElement> audioSink;
GstPtr<GstBus> videoBus_;

// Guards the loop handle, so that nobody quits a loop the player thread is releasing.
std::mutex loop_mutex;
GMainLoop* loop_player = nullptr;

// Guards the thread handle against a start and a stop from two threads.
std::mutex thread_mutex;
std::unique_ptr<std::thread> thread_player;
std::atomic<int> thread_player_exit{0};

// A reference to the pipeline for one request, or null when there is none.
GstPtr<GstElement> current_pipeline()
{
    std::lock_guard lock(pipeline_mutex);
    return GstPtr<GstElement>(playbin_ ? GST_ELEMENT(gst_object_ref(playbin_.get())) : nullptr);
}

GstStateChangeReturn set_pipeline_state(GstState state)
{
    GstPtr<GstElement> pipeline = current_pipeline();
    return pipeline ? gst_element_set_state(pipeline.get(), state) : GST_STATE_CHANGE_FAILURE;
}

void quit_loop()
{
    std::lock_guard lock(loop_mutex);
    if (loop_player)
        g_main_loop_quit(loop_player);
}

// Runs first in the loop: a quit asked for before the loop ran would otherwise be lost.
gboolean quit_if_exit_requested(gpointer loop)
{
    if (thread_player_exit)
        g_main_loop_quit(static_cast<GMainLoop*>(loop));
    return G_SOURCE_REMOVE;
}

GstPtr<GstElement> make_element(const char* factory, const char* name)
{
    GstElement* element = gst_element_factory_make(factory, name);
    if (!element)
        printf("%s: cannot create %s\n", "player_proc", factory);
    return GstPtr<GstElement>(element ? GST_ELEMENT(gst_object_ref_sink(element)) : nullptr);
}

// Every decodebin playbin makes is gated, so that a cut video's error reaches the bus and the
// cycle goes on past it.
void on_element_setup(GstElement*, GstElement* element, gpointer)
{
    gate_decodebin(element);
}

// Creates the pipeline and its sinks and sets them up; false when an element is missing.
bool build_pipeline()
{
    std::lock_guard lock(pipeline_mutex);
    playbin_ = make_element("playbin", "player");
    videoSink_ = make_element("fakesink", "video_sink");
    audioSink = make_element("fakesink", "audio_sink");
    if (!playbin_ || !videoSink_ || !audioSink)
        return false;
    // Off the board the frames are brought into the hardware decoder's form first.
    GstElement* video_output = videoSink_.get();
    if (!board_root().empty() && !(video_output = make_decoder_standin(videoSink_.get())))
        return false;

    // Frames are handed over at their presentation time, and late ones are not skipped upstream.
    g_object_set(videoSink_.get(), "sync", TRUE, "qos", FALSE, nullptr);
    g_object_set(playbin_.get(), "uri", uri_file, "video-sink", video_output, "audio-sink", audioSink.get(),
                 nullptr);
    g_signal_connect(playbin_.get(), "element-setup", G_CALLBACK(on_element_setup), nullptr);
    g_object_set(videoSink_.get(), "signal-handoffs", TRUE, nullptr);
    g_signal_connect(videoSink_.get(), "handoff", G_CALLBACK(processNewBuffer), nullptr);
    videoBus_.reset(gst_element_get_bus(playbin_.get()));
    gst_bus_add_watch(videoBus_.get(), bus_callback, nullptr);
    return true;
}

// Leaves the pipeline in NULL whatever state it reports, so it is never released running.
void stop_pipeline_at_end()
{
    GstPtr<GstElement> pipeline = current_pipeline();
    if (!pipeline)
        return;
    GstState state = GST_STATE_VOID_PENDING;
    GstState pending = GST_STATE_VOID_PENDING;
    gst_element_get_state(pipeline.get(), &state, &pending, END_STATE_QUERY_TIMEOUT);
    printf("%s: state1=%d ,state2=%d\n", "player_proc", state, pending);
    gst_element_set_state(pipeline.get(), GST_STATE_NULL);
}

void run_player_loop()
{
    GMainLoop* loop = nullptr;
    {
        std::lock_guard lock(loop_mutex);
        if (!loop_player)
            loop_player = g_main_loop_new(nullptr, FALSE);
        loop = loop_player;
    }
    if (build_pipeline() && !thread_player_exit) {
        player_state = PLAYER_STATE_READY;
        g_idle_add(quit_if_exit_requested, loop);
        g_main_loop_run(loop);
    }
    stop_pipeline_at_end();
    std::lock_guard lock(loop_mutex);
    g_main_loop_unref(loop_player);
    loop_player = nullptr;
}

void on_end_of_stream()
{
    printf("Eos\n");
    if (!repeat_state) {
        gst_player_stop();
        return;
    }
    GstPtr<GstElement> pipeline = current_pipeline();
    if (!pipeline || !gst_element_seek(pipeline.get(), 1.0, GST_FORMAT_TIME, GST_SEEK_FLAG_FLUSH,
                                       GST_SEEK_TYPE_SET, REPEAT_START, GST_SEEK_TYPE_NONE, -1))
        printf("Seek failed!\n");
}

void on_error(GstMessage* message)
{
    GError* error = nullptr;
    gchar* debug = nullptr;
    gst_message_parse_error(message, &error, &debug);
    printf("%s-->Error: %s : %s\n", "bus_callback", error->message, debug ? debug : "");
    printf("%s-->err code: %d\n", "bus_callback", -error->code);
    printf("%s-->err msg: %s\n", "bus_callback", error->message);
    // A memory report in the log: decoder failures on the board are often allocation failures.
    char report[EXEC_CMD_OUT_SIZE];
    if (exec_cmd("free", report) > 0)
        fputs(report, stdout);
    g_error_free(error);
    g_free(debug);
    gst_player_stop();
}

void on_warning(GstMessage* message)
{
    GError* warning = nullptr;
    gchar* debug = nullptr;
    gst_message_parse_warning(message, &warning, &debug);
    printf("Warning: %s\n", warning->message);
    g_error_free(warning);
    g_free(debug);
}

} // namespace

int init_player_thread()
{
    std::lock_guard lock(thread_mutex);
    if (thread_player)
        return 1;
    reset_stream_geometry();
    thread_player_exit = 0;
    try {
        thread_player = std::make_unique<std::thread>(player_proc, nullptr);
    } catch (const std::system_error&) {
        perror("Thread creation failed!");
        return -1;
    }
    return 0;
}

void deinit_player_thread()
{
    {
        std::lock_guard lock(thread_mutex);
        thread_player_exit = 1;
        quit_loop();
        if (thread_player) {
            thread_player->join();
            thread_player.reset();
            // The next video starts a new player thread.
            player_state = PLAYER_STATE_IDLE;
        }
    }
    clear_decoder_queue();
}

void playbin_exit()
{
    thread_player_exit = 1;
    quit_loop();
}

int set_uri_file(const char* path)
{
    char uri[URI_FILE_SIZE] = {};
    // A cut path would name another file; refuse it instead.
    if (path && snprintf(uri, sizeof uri, "%s%s", URI_PREFIX, path) >= static_cast<int>(sizeof uri)) {
        printf("%s Path is too long.\n", "set_uri_file");
        return -1;
    }
    std::lock_guard lock(pipeline_mutex);
    memcpy(uri_file, uri, sizeof uri_file);
    if (playbin_)
        g_object_set(playbin_.get(), "uri", uri_file, nullptr);
    return 0;
}

int set_video_file(const char* path)
{
    if (!path || access(path, F_OK) != 0) {
        printf("%s File is not exist.\n", "set_video_file");
        return -1;
    }
    return set_uri_file(path);
}

void get_uri_file(char* out, size_t size)
{
    std::lock_guard lock(pipeline_mutex);
    snprintf(out, size, "%s", uri_file);
}

int gst_player_ready()
{
    set_pipeline_state(GST_STATE_READY);
    player_state = PLAYER_STATE_STOPPED;
    return 0;
}

int gst_player_play()
{
    if (set_pipeline_state(GST_STATE_PLAYING) != GST_STATE_CHANGE_ASYNC)
        printf("%s %s Unable to set the pipeline to the playing state: \n", __FILE_NAME__, "gst_player_play");
    player_state = PLAYER_STATE_PLAYING;
    return 0;
}

int gst_player_pause()
{
    set_pipeline_state(GST_STATE_PAUSED);
    return 0;
}

int gst_player_stop()
{
    // NULL joins the streaming threads, so no frame of this stream is queued after the clear.
    set_pipeline_state(GST_STATE_NULL);
    clear_decoder_queue();
    reset_stream_geometry();
    // Before any player thread exists there is nothing to stop: "stopped" would tell the
    // banner thread that one runs, and it would never start one.
    if (player_state != PLAYER_STATE_IDLE)
        player_state = PLAYER_STATE_STOPPED;
    return 0;
}

void set_player_state(int state)
{
    player_state = state;
}

int get_player_state()
{
    return player_state;
}

void gst_set_repeat_state(int state)
{
    repeat_state = state;
}

int gst_get_repeat_state()
{
    return repeat_state;
}

void freeElements()
{
    std::lock_guard lock(pipeline_mutex);
    audioSink.reset();
    videoSink_.reset();
    if (videoBus_)
        gst_bus_remove_watch(videoBus_.get());
    videoBus_.reset();
    playbin_.reset();
}

int player_proc(void* /*arg*/)
{
    pthread_setname_np(pthread_self(), "player");
    if (!gst_is_initialized())
        gst_init(nullptr, nullptr);
    run_player_loop();
    printf("%s: end\n", "player_proc");
    freeElements();
    return 0;
}

gboolean bus_callback(GstBus* /*bus*/, GstMessage* message, void* /*user_data*/)
{
    switch (GST_MESSAGE_TYPE(message)) {
    case GST_MESSAGE_EOS:
        on_end_of_stream();
        break;
    case GST_MESSAGE_ERROR:
        on_error(message);
        break;
    case GST_MESSAGE_WARNING:
        on_warning(message);
        break;
    default:
        break;
    }
    return TRUE;
}
