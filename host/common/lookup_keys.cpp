// The one rule that turns a game's ROM path and name into the keys the board looks media up by.
#include "host/common/lookup_keys.h"

lookup_keys game_lookup_keys(std::string_view rom_path, std::string_view name)
{
    while (rom_path.size() > 1 && rom_path.back() == '/')
        rom_path.remove_suffix(1);
    size_t slash = rom_path.rfind('/');
    std::string_view file = slash == std::string_view::npos ? rom_path : rom_path.substr(slash + 1);
    // A leading dot starts a hidden name, not an extension: ".hack" stays ".hack".
    size_t dot = file.rfind('.');
    if (dot != std::string_view::npos && dot > 0)
        file = file.substr(0, dot);
    lookup_keys keys{std::string(file), std::string(name)};
    if (keys.title.empty())
        keys.title = keys.romname;
    return keys;
}
