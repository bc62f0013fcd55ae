// The one-second SDL timer and the package-transfer watchdog it drives.
#pragma once

#include <SDL.h>

#include <atomic>

// 1 while a package transfer is in progress (set and cleared by the main loop).
extern std::atomic<int> package_transmit_state;
// Timer ticks since the last package activity.
extern std::atomic<int> package_transmit_count;

int start_timer();
void stop_timer();
Uint32 mytimer_proc(Uint32 interval, void* param);

// Watchdog step, run by the main loop on each EVENT_TIMER.
void package_transmit_timeout();
void package_transmit_reset();
