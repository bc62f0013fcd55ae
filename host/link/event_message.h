// The message that names a game or a system, as every source of events forms it (the command
// line, the service's local socket, HTTP and MQTT).
#pragma once

#include "host/link/host_commands.h"

#include <string>

// A JSON string as the board's parser reads it (bytes from 0x80 on as they are).
std::string json_string(const std::string& text);
// With `rom` not empty: romname, title and title2 from the ROM's path (title kept when given).
// With a system named and no game: its key, and its name as the title unless one is given.
void derive_lookup_keys(options& opt, const std::string& rom);
// True when both a game and a system were named.
bool names_game_and_system(const options& opt);
