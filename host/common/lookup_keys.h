// The lookup keys a frontend hook sends for a game: one rule, used by the hooks (through
// tavimoro-host info --rom) and by the media kit, so that the kit names files as the board
// will look for them.
#pragma once

#include <string>
#include <string_view>

struct lookup_keys {
    std::string romname;  // sent as "romname"
    std::string title;    // sent as "title" and "title2"
};

// The ROM name is the last part of `rom_path` (a file, or a folder with a trailing '/') without
// its last extension; the title is `name` as given (a frontend's own spelling is what the player
// shows), or the ROM name when that is empty. The board lower-cases both before it looks media up.
lookup_keys game_lookup_keys(std::string_view rom_path, std::string_view name);
