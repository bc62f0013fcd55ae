// One-second timer: its ticks let the main loop give up on a package transfer that went quiet.
#include "core/timer.h"

#include "core/events.h"

#include <cstdio>

std::atomic<int> package_transmit_state{0};
std::atomic<int> package_transmit_count{0};

namespace {

constexpr Uint32 TIMER_INTERVAL_MS = 1000;
// Ticks without a package data report after which the transfer counts as failed.
constexpr int PACKAGE_TRANSMIT_MAX_IDLE_TICKS = 14;

SDL_TimerID timer_id = 0;

} // namespace

int start_timer()
{
    timer_id = SDL_AddTimer(TIMER_INTERVAL_MS, mytimer_proc, nullptr);
    if (timer_id == 0) {
        printf("add timer fail!\n");
        return -1;
    }
    return 0;
}

void stop_timer()
{
    if (timer_id != 0) {
        SDL_RemoveTimer(timer_id);
        timer_id = 0;
    }
}

Uint32 mytimer_proc(Uint32 interval, void*)
{
    push_event(EVENT_TIMER, 0);
    return interval;
}

void package_transmit_timeout()
{
    if (package_transmit_state.load() == 0)
        return;
    if (++package_transmit_count > PACKAGE_TRANSMIT_MAX_IDLE_TICKS) {
        package_transmit_count = 0;
        push_event(EVENT_PACKAGE_TRANSMIT_END, 1);
    }
}

void package_transmit_reset()
{
    package_transmit_count = 0;
}
