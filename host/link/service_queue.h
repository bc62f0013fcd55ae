// What the service's core and its link's thread share: the commands waiting and the state,
// behind one lock. Only the service's own modules include it.
#pragma once

#include "core/unique_fd.h"
#include "host/link/service_core.h"

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

struct queued {
    service_command command;
    uint64_t number = 0;
    command_done done;
};

// Everything the threads share, behind one lock; the link itself belongs to the link's thread.
struct service_shared {
    std::mutex lock;
    std::condition_variable changed;
    service_config config;
    std::optional<queued> show;  // the one show waiting: a newer one replaces it
    std::deque<queued> transfers;
    std::deque<service_event> recent;
    uint64_t next_number = 1, sequence = 0;
    std::string link = "closed", last_named, selection;
    bool board_present = false, stopping = false;
    bool look_again = false;  // new work, or the board may have come: try the link again
    UniqueFD wake;  // an eventfd: the link's thread looks again
    std::thread thread;
};

extern service_shared shared;

// The link's thread looks again; the state changed (the lock held).
void wake_link();
void touch_locked();
// The command's end: its line in the log, its event's status, then whoever asked is told and
// its files are removed.
void finish(queued& item, int status, const std::string& reason);
void remove_files(const service_command& command);
// The options as the command line would give them for the command.
options command_options(const service_command& command);
// The link's thread, until the service stops.
void run_link();
