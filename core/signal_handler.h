// Process signals: SIGINT and SIGTERM end the player; SIGUSR2 with a value drives playback.
#pragma once

#include <csignal>

// Installs the handler for SIGINT, SIGTERM, SIGUSR1, SIGUSR2 and SIGABRT, in that order.
// Their work runs on a thread of its own, never in signal context. 0, or -1 on failure.
int install_signal_handler();
// Restores the default dispositions and ends that thread.
void remove_signal_handler();

// Registers what a quit signal stops besides the event loop (the player ends playback's loop
// with it, so that a stop in progress does not hold the quit back); null for nothing.
void set_quit_hook(void (*hook)());

// What a received signal does; called on the signal thread with what the signal carried.
void handler(int signum, siginfo_t* info, void* context);
