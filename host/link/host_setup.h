// `tavimoro-host setup`: connects the frontend of a gaming host (its hooks, the udev rule, the
// tavimoro group) in one command, takes it all back with --remove, and names a test game.
#pragma once

#include "host/link/link_client.h"

#include <string>

struct setup_request {
    std::string root;  // the frontend's tree when it is not mounted at /; empty for this system
    bool remove = false;
    bool dry_run = false;
    std::string device, serial;  // the board for the test game, as for every command
    int timeout_s = DEFAULT_TIMEOUT_S;
};

// Sets up (or removes) and prints each step: 0 when done, EXIT_REFUSED when a step could not be
// done (the others are still done), EXIT_USAGE for a root that is no folder.
int run_setup(const setup_request& request);

// Setup's last step on every system: a test title named to the board plugged into this computer,
// or a word on how to try it once one is. `next` says what replaces the title on the marquee.
void name_test_game(const setup_request& request, const char* next);
