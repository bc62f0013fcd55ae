// The order of the events a frontend raises. Hooks fire in quick succession and their processes
// reach the link in any order; each call takes a numbered place when it starts, and one that
// sees a later place taken before it sends drops out, so the board ends on the last event. The
// owner's selection is remembered beside it, so that the end of a game can go back to it.
#pragma once

#include "host/link/host_system.h"

#include <cstdint>
#include <functional>
#include <string>

struct event_place {
    state_handle order;    // the counter of places, locked only while it is read or moved on
    state_handle sending;  // held while a place's message goes out
    uint64_t number = 0;
    std::string selection_file;
};

// Takes the next place for the board at `device`; with `selection` set, also remembers that
// message as what the owner has selected now. 0, or -1 with the reason printed (the event then
// goes out unordered).
int take_event_place(const std::string& device, const std::string* selection, event_place& place);

// The place `number` that this event's first process took before it handed the event on to
// this one: 0, or -1 with the reason printed.
int adopt_event_place(const std::string& device, uint64_t number, event_place& place);

// The message of the last selection remembered for the place's board; "" when there is none.
std::string remembered_selection(const event_place& place);

// Sends with `send` unless a later place was taken: then nothing is sent, `dropped` is set and
// the result is 0. Only one place sends at a time.
int send_in_order(const event_place& place, const std::function<int()>& send, bool& dropped);
