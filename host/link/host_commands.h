// tavimoro-host's command line as the commands read it, and the commands that move files,
// firmware, packages and pictures to the board (the program keeps the options and the table).
#pragma once

#include "host/link/link_client.h"

#include <string>
#include <vector>

struct options {
    std::string device, serial;
    int timeout_s = DEFAULT_TIMEOUT_S;
    std::string name;
    std::string title, title2, romname, leaderboard, type;
    bool print = false;
    bool as_is = false;
    std::string root;
    bool remove = false;
    bool dry_run = false;
    std::string system;       // info names a system
    bool select = false;      // info: remember it as what the owner has selected
    bool background = false;  // info, back: take the event's place, then go on in the background
    unsigned long long event_place = 0;  // the place taken by the process that handed the event on
    std::vector<std::string> args;
};

// The JSON text of a message; `type` is a number when it is all digits (event_message.cpp).
std::string json_text(const options& opt, bool with_title2);

// Each command's check of its own arguments (before the board is looked for), and its run.
int check_send(const options& opt);
int check_firmware(const options& opt);
int check_update(const options& opt);
int check_image(const options& opt);
int command_send(const options& opt, const board_link* board);
int command_firmware(const options& opt, const board_link* board);
int command_package(const options& opt, const board_link* board);
int command_update(const options& opt, const board_link* board);
int command_image(const options& opt, const board_link* board);
