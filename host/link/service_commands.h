// The service's commands: one JSON form for the local socket, the HTTP API and MQTT, read into
// tavimoro-host's own options so that every source ends in the same commands.
#pragma once

#include "host/link/host_commands.h"

#include <cstddef>
#include <string>

// The largest JSON command read from any source; the board's own messages are at most 4095
// bytes, and a command carries little more than one.
constexpr size_t SERVICE_COMMAND_MAX = 8192;

// What a command does with the link: names something on the band (the last one wins), moves a
// file (queued in order), or only reads the service's state.
enum class command_kind { show, transfer, state };

struct service_command {
    std::string name;      // game, system, back, image, file, package, firmware, update, state
    command_kind kind = command_kind::show;
    options opt;           // the fields as the command line carries them; args[0] is `file`
    std::string file;      // image, file, package, firmware: a file of the service's own
    std::string signature; // firmware: its minisign signature's file, when there is one
};

// The command `name` with its fields in `json` (an object; "" for none). Fields: title, title2,
// romname, leaderboard, type, rom, system, select (game, system); name (file, package, firmware,
// update); title, romname, leaderboard, as_is, name (image). Unknown fields and fields of the
// wrong type are refused. 0, or -1 with the reason in `why`.
int parse_service_command(const std::string& name, const std::string& json, service_command& command,
                          std::string& why);
