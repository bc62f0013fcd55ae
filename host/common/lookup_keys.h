// The lookup keys a frontend hook sends for a game or a system: one rule, used by the hooks
// (through tavimoro-host info --rom and --system) and by the media kit, so that the kit names
// files as the board will look for them.
#pragma once

#include <string>
#include <string_view>

struct lookup_keys {
    std::string romname;  // sent as "romname"
    std::string title;    // sent as "title": what a title card shows
    std::string title2;   // sent as "title2": the first key the board looks media up by
};

// What a system's key starts with. A game's key never does (see game_lookup_keys), and the
// character is valid in file names on FAT32 and exFAT.
inline constexpr char SYSTEM_KEY_PREFIX = '@';

// The ROM name is the last part of `rom_path` (a file, or a folder with a trailing '/'; on Windows
// '\\' parts folders too) without
// its last extension; the title is `name` as given (a frontend's own spelling is what the player
// shows), or the ROM name when that is empty; title2 is the title. The board lower-cases both keys
// before it looks media up. A key that starts with the system prefix gets one more in front, so
// that no game's key is ever a system's; the title shown keeps its own spelling.
lookup_keys game_lookup_keys(std::string_view rom_path, std::string_view name);

// A system's key: the prefix, then its short name ("snes") lower-cased, with every character
// FAT32 or exFAT refuses in a name (control characters, " * / : < > ? \ |) and the prefix itself
// at its start made '_'. Empty for an empty name.
std::string system_lookup_key(std::string_view short_name);
