// The banner sequencer: one thread that shows the current record's picture (or title card),
// video and scrolling leaderboard, over and over, until the main thread installs another.
#include "banner/bannerbar.h"

#include "banner/font.h"
#include "banner/image.h"
#include "banner/leaderboard.h"
#include "core/events.h"
#include "display/video.h"
#include "playback/playbin.h"

#include <SDL.h>
#include <pthread.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>

using namespace std::chrono_literals;

namespace {

// The cycle's traces carry the thread body's name, whichever helper prints them.
constexpr const char* PROC = "banner_proc";

constexpr unsigned int STILL_SECONDS = 3;
// A record with nothing to show is looked at again after this pause instead of spinning.
constexpr unsigned int EMPTY_CYCLE_SECONDS = 1;
constexpr auto IDLE_WAIT = 1s;
constexpr auto SCREEN_POLL = 100ms;
constexpr auto PLAYER_POLL = 10ms;
// Replacing a record waits for the thread to go idle, stopping the player again at each of
// these periods should it have started meanwhile; 500 of them, 25 s, at most.
constexpr auto STOP_POLL = 50ms;
constexpr int STOP_POLLS_MAX = 500;

// The record last installed; guarded by banner_mutex.
banner_bar_t banner_info;
// Set with each installed record until the thread has taken its copy; guarded by banner_mutex.
bool record_pending;
// The thread's own copy of the record it cycles through.
banner_bar_t current;

// Atomic for their readers; each is changed under banner_mutex, and banner_cond announces the
// change to whoever waits for it (a new record, a stop request, the thread going idle).
std::atomic<int> data_ready;
std::atomic<int> banner_state;  // 0 idle, 1 cycling
std::atomic<int> banner_player_exit;
std::atomic<int> thread_banner_exit;
std::unique_ptr<std::thread> thread_banner;
std::mutex banner_mutex;
std::condition_variable banner_cond;

// References to the surfaces of the current record; owned by the image and leaderboard modules.
SDL_Surface* surface_pic;
SDL_Surface* surface_title;
SDL_Surface* surface_leaderboard;

bool empty(const char* field)
{
    return field[0] == '\0';
}

bool names_anything(const banner_bar_t& info)
{
    return !empty(info.title) || !empty(info.video_file) || !empty(info.image_file) || !empty(info.leaderboard);
}

// Holds until `deadline`; false when the current step is asked to end first, at the moment it is.
bool hold_until(std::chrono::steady_clock::time_point deadline)
{
    std::unique_lock lock(banner_mutex);
    return !banner_cond.wait_until(lock, deadline, [] { return banner_player_exit != 0; });
}

// Holds for `period`, as hold_until.
bool hold(std::chrono::steady_clock::duration period)
{
    return hold_until(std::chrono::steady_clock::now() + period);
}

// Holds for `seconds`, returning at once when the current step is to end.
void delay_second(unsigned int seconds)
{
    hold(std::chrono::seconds(seconds));
}

// Between two steps: the cycle ends and the thread goes idle when the record was withdrawn or
// another one installed.
bool checkpoint()
{
    {
        std::lock_guard lock(banner_mutex);
        if (data_ready && !record_pending)
            return true;
        banner_state = 0;
    }
    banner_cond.notify_all();
    return false;
}

#ifdef TAVIMORO_FACTORY
// The factory build shows the leaderboard as a still card, word-wrapped.
void prepare_leaderboard()
{
    surface_leaderboard = get_surface_leaderboard(current.leaderboard);
}
#else
void prepare_leaderboard()
{
    leaderboard_init(current.leaderboard);
}
#endif

// Waits up to a second for a record; when one is there, takes a copy and builds its surfaces.
// A record replaced while it is prepared is let go between two surfaces: of a burst of records
// only the newest is composed to the end.
void prepare_record()
{
    {
        std::unique_lock lock(banner_mutex);
        banner_cond.wait_for(lock, IDLE_WAIT, [] { return record_pending || thread_banner_exit; });
        if (!data_ready || !record_pending)
            return;
        current = banner_info;
        record_pending = false;
        banner_state = 1;
    }
    free_surface_banner();
    surface_pic = surface_title = surface_leaderboard = nullptr;
    if (!empty(current.image_file) && checkpoint())
        surface_pic = get_surface_picture(current.image_file);
    if (!empty(current.title) && !surface_pic && checkpoint())
        surface_title = get_surface_title(current.title);
    if (!empty(current.leaderboard) && checkpoint())
        prepare_leaderboard();
}

// Shows a picture or card for the hold time. The still of the cycle before, when it is this one,
// stays on screen as it is: drawing it anew each cycle would cost a whole frame's work for nothing.
// (A new record's surfaces never match it: taking a record clears the current image first.)
void show_still(SDL_Surface* surface)
{
    keep_surface_image(surface);
    show_image_mode();
    delay_second(STILL_SECONDS);
}

bool show_picture()
{
    if (empty(current.image_file) || !surface_pic)
        return false;
    printf("%s: image start , %s\n", PROC, current.image_file);
    show_still(surface_pic);
    return true;
}

// The title card also stands in for a picture that could not be loaded.
bool show_title()
{
    if (surface_pic || empty(current.title) || !surface_title)
        return false;
    printf("%s: title start,  %s\n", PROC, current.title);
    show_still(surface_title);
    return true;
}

// Starts the player thread if there is none and waits until it is ready; false when it cannot
// start or the wait is called off.
bool player_ready()
{
    if (get_player_state() != PLAYER_STATE_IDLE)
        return true;
    if (init_player_thread() < 0)
        return false;
    while (get_player_state() != PLAYER_STATE_READY) {
        if (thread_banner_exit || !hold(PLAYER_POLL))
            return false;
    }
    return true;
}

bool play_video()
{
    if (empty(current.video_file) || !player_ready() || !data_ready)
        return false;
    printf("%s: video start,  %s\n", PROC, current.video_file);
    gst_player_ready();
    if (set_video_file(current.video_file) < 0) {
        printf("%s: %s is not exist.\n", PROC, current.video_file);
        return false;
    }
    gst_player_play();
    show_video_mode();
    // The player's state is looked at every PLAYER_POLL; a stop request ends the wait at once.
    // Idle: the player thread was stopped from outside, so this video will not end by itself.
    while (get_player_state() != PLAYER_STATE_STOPPED && get_player_state() != PLAYER_STATE_IDLE) {
        if (!hold(PLAYER_POLL))
            break;
    }
    return true;
}

#ifdef TAVIMORO_FACTORY
bool show_leaderboard()
{
    if (empty(current.leaderboard) || !surface_leaderboard)
        return false;
    printf("%s: leaderboard start\n", PROC);
    show_still(surface_leaderboard);
    return true;
}
#else
constexpr auto SCROLL_FRAME = 20ms;

bool show_leaderboard()
{
    if (empty(current.leaderboard))
        return false;
    show_image_mode();
    leaderboard_reset();
    int seconds = leaderboard_seconds(strlen(current.leaderboard));
    printf("%s dis time=%d\n", PROC, seconds);
    // Each step keeps its place from the scroll's start, so that the time the steps take does not
    // add up: the scroll shows 50 steps a second and lasts its seconds.
    const auto start = std::chrono::steady_clock::now();
    for (int frame = 0; frame < seconds * SCROLL_FRAMES_PER_SECOND && !banner_player_exit; frame++) {
        lock_image_mutex();
        show_scroll_frame_nolock(next_scroll_frame());
        unlock_image_mutex();
        if (!hold_until(start + (frame + 1) * SCROLL_FRAME))
            break;
    }
    return true;
}
#endif

void run_cycle()
{
    if (!get_hdmi_state()) {
        // Nothing is shown while the screen is off; a withdrawn record is let go at once.
        if (checkpoint())
            hold(SCREEN_POLL);
        return;
    }
    printf("%s: title %s\n", PROC, current.title);
    printf("%s: text %s\n", PROC, current.text);
    printf("%s: image file %s\n", PROC, current.image_file);
    printf("%s: video file %s\n", PROC, current.video_file);
    printf("%s: leaderboard %s\n", PROC, current.leaderboard);
    bool shown = false;
    for (bool (*step)() : {show_picture, show_title, play_video, show_leaderboard}) {
        if (!checkpoint())
            return;
        shown = step() || shown;
    }
    if (checkpoint() && !shown)
        delay_second(EMPTY_CYCLE_SECONDS);
}

void banner_proc()
{
    pthread_setname_np(pthread_self(), "banner");
    load_font();
    while (!thread_banner_exit) {
        if (banner_state == 0)
            prepare_record();
        if (banner_state == 1)
            run_cycle();
    }
    free_font();
    // SDL keeps this thread's error text (a picture that would not load) in thread-local storage
    // that it frees only on request for threads it did not create.
    SDL_TLSCleanup();
}

} // namespace

int set_bannerbar_info(banner_bar_t info)
{
    gst_set_repeat_state(0);
    if (names_anything(info) && banner_state == 1) {
        {
            std::lock_guard lock(banner_mutex);
            data_ready = 0;
            banner_player_exit = 1;
        }
        banner_cond.notify_all();
        if (get_player_state() != PLAYER_STATE_STOPPED)
            gst_player_stop();
        // The thread going idle ends the wait at once; each period without it stops the player again.
        for (int polls = 1; polls <= STOP_POLLS_MAX; polls++) {
            std::unique_lock lock(banner_mutex);
            if (banner_cond.wait_for(lock, STOP_POLL, [] { return banner_state == 0 || thread_banner_exit; }))
                break;
            lock.unlock();
            if (polls < STOP_POLLS_MAX && get_player_state() != PLAYER_STATE_STOPPED)
                gst_player_stop();
        }
        std::lock_guard lock(banner_mutex);
        banner_player_exit = 0;
    }
    {
        std::lock_guard lock(banner_mutex);
        banner_info = info;
        record_pending = true;
        data_ready = 1;
    }
    banner_cond.notify_all();
    printf("%s: video file = %s\n", __func__, info.video_file);
    printf("%s: image file = %s\n", __func__, info.image_file);
    return 0;
}

int init_banner_thread()
{
    thread_banner_exit = 0;
    if (thread_banner)
        return 0;
    // A thread stopped before may have left a step's stop request and its state behind.
    banner_player_exit = 0;
    banner_state = 0;
    try {
        thread_banner = std::make_unique<std::thread>(banner_proc);
    } catch (const std::system_error&) {
        printf("%s:%s Failed to create thread!\n", "bannerbar", __func__);
        return -1;
    }
    return 0;
}

void deinit_banner_thread()
{
    {
        std::lock_guard lock(banner_mutex);
        thread_banner_exit = 1;
        data_ready = 0;
        banner_player_exit = 1;
    }
    banner_cond.notify_all();
    if (get_player_state() != PLAYER_STATE_STOPPED)
        push_event(EVENT_PLAYER_STOP, 0);
    if (thread_banner) {
        thread_banner->join();
        thread_banner.reset();
    }
}
