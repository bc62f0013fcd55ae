// Event pushing: every thread reports to the main loop through the SDL event queue.
#include "core/events.h"

// Lock order of the whole program. A thread that holds one of the project's mutexes takes
// another only along these arrows, never against them:
//   video_mode_mutex (display) -> image_mutex (banner) -> flip_mutex (virtual output)
//   video_mode_mutex -> queue_mutex (the decoder queue) and -> flip_mutex
//   thread_mutex (the player thread's handle) -> loop_mutex
//   pipeline_mutex -> GStreamer's own locks (setting the URI, building and freeing the pipeline)
//   video_mode_mutex -> image_mutex -> wake_mutex (the video thread's wake-up)
// wake_mutex and pushed_mutex (the event count) are innermost: nothing is taken while either is
// held. banner_mutex, font_mutex, update_mutex and the sysfs files' mutexes are taken alone.
// A thread waits for another while holding one only where the other takes none of those held:
// the player thread is joined under thread_mutex, the video thread waits for a flip under
// image_mutex, and neither the player thread nor the flip presenter takes those.

#include <SDL.h>

#include <chrono>
#include <condition_variable>
#include <mutex>

std::atomic<int> main_exit{0};

namespace {

std::atomic<int> hdmi_state{1};

// Counts the events pushed, so that the waiting main thread sleeps until there is a new one.
std::mutex pushed_mutex;
std::condition_variable pushed_cond;
unsigned long pushed_count;
// Events SDL makes itself (none that the player acts on) are still gathered at this pace.
constexpr auto SDL_EVENTS_PERIOD = std::chrono::seconds(1);

unsigned long events_pushed()
{
    std::lock_guard lock(pushed_mutex);
    return pushed_count;
}

void push(int code, int value, void* first, void* second)
{
    SDL_Event event;
    SDL_zero(event);
    event.type = static_cast<Uint32>(code);
    event.user.code = value;
    event.user.data1 = first;
    event.user.data2 = second;
    // A full queue loses the event; nobody is told, as on the board.
    SDL_PushEvent(&event);
    {
        std::lock_guard lock(pushed_mutex);
        pushed_count++;
    }
    pushed_cond.notify_all();
}

} // namespace

void push_event(int code, int value)
{
    push(code, value, nullptr, nullptr);
}

void push_event_with_para(int code, void* para)
{
    push(code, 0, para, nullptr);
}

void push_event_with_para2(int code, void* first, void* second)
{
    push(code, 0, first, second);
}

int wait_event(SDL_Event* event)
{
    for (;;) {
        // Counted before looking, so that an event pushed after the look ends the wait. The queue
        // is read as it stands, without SDL's pumping, which the timed-out wait below does.
        unsigned long seen = events_pushed();
        if (SDL_PeepEvents(event, 1, SDL_GETEVENT, SDL_FIRSTEVENT, SDL_LASTEVENT) == 1)
            return 1;
        std::unique_lock lock(pushed_mutex);
        if (!pushed_cond.wait_for(lock, SDL_EVENTS_PERIOD, [seen] { return pushed_count != seen; })) {
            lock.unlock();
            SDL_PumpEvents();
        }
    }
}

int get_hdmi_state()
{
    return hdmi_state.load();
}

void set_hdmi_state(int state)
{
    hdmi_state.store(state);
}
