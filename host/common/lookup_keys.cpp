// The one rule that turns a game's ROM path and name, or a system's short name, into the keys the
// board looks media up by.
#include "host/common/lookup_keys.h"

#include <cctype>
#include <cstring>

namespace {

// A Windows host's paths may part folders with backslashes too.
#ifdef _WIN32
constexpr const char* SEPARATORS = "/\\";
#else
constexpr const char* SEPARATORS = "/";
#endif

} // namespace

lookup_keys game_lookup_keys(std::string_view rom_path, std::string_view name)
{
    while (rom_path.size() > 1 && strchr(SEPARATORS, rom_path.back()))
        rom_path.remove_suffix(1);
    size_t slash = rom_path.find_last_of(SEPARATORS);
    std::string_view file = slash == std::string_view::npos ? rom_path : rom_path.substr(slash + 1);
    // A leading dot starts a hidden name, not an extension: ".hack" stays ".hack".
    size_t dot = file.rfind('.');
    if (dot != std::string_view::npos && dot > 0)
        file = file.substr(0, dot);
    lookup_keys keys{std::string(file), std::string(name), ""};
    if (keys.title.empty())
        keys.title = keys.romname;
    keys.title2 = keys.title;
    for (std::string* key : {&keys.romname, &keys.title2})
        if (!key->empty() && (*key)[0] == SYSTEM_KEY_PREFIX)
            key->insert(key->begin(), SYSTEM_KEY_PREFIX);
    return keys;
}

std::string system_lookup_key(std::string_view short_name)
{
    if (short_name.empty())
        return "";
    std::string key(1, SYSTEM_KEY_PREFIX);
    for (unsigned char c : short_name) {
        bool refused = c < 0x20 || c == 0x7f || strchr("\"*/:<>?\\|", c) != nullptr;
        key += refused || (key.size() == 1 && c == SYSTEM_KEY_PREFIX) ? '_' : static_cast<char>(tolower(c));
    }
    return key;
}
