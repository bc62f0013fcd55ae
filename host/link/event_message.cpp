// The message that names a game or a system, as every source of events forms it: the keys taken
// from a ROM's path or a system's name, and the JSON text the board reads.
#include "host/link/event_message.h"

#include "host/common/lookup_keys.h"

#include <cstdio>
#include <cstdlib>
#include <utility>
#include <vector>

namespace {

std::string with_line_breaks(std::string text)
{
    for (size_t at; (at = text.find("\\n")) != std::string::npos;)
        text.replace(at, 2, "\n");
    return text;
}

} // namespace

// A JSON string as the board's parser reads it. Written here rather than with a JSON library:
// the Windows build has none in its toolchain, and this one object of a few strings needs only
// the escapes. Bytes from 0x80 on go through as they are, so a name that is not valid UTF-8 keeps
// the bytes the board looks media up by.
std::string json_string(const std::string& text)
{
    std::string quoted = "\"";
    for (unsigned char c : text) {
        switch (c) {
        case '"': quoted += "\\\""; break;
        case '\\': quoted += "\\\\"; break;
        case '\b': quoted += "\\b"; break;
        case '\f': quoted += "\\f"; break;
        case '\n': quoted += "\\n"; break;
        case '\r': quoted += "\\r"; break;
        case '\t': quoted += "\\t"; break;
        default:
            if (c < 0x20) {
                char code[8];
                snprintf(code, sizeof code, "\\u%04x", c);
                quoted += code;
            } else {
                quoted += static_cast<char>(c);
            }
        }
    }
    return quoted + "\"";
}

std::string json_text(const options& opt, bool with_title2)
{
    std::vector<std::pair<const char*, std::string>> fields;
    bool numbered = !opt.type.empty() && opt.type.find_first_not_of("0123456789") == std::string::npos;
    if (!opt.type.empty())
        fields.emplace_back("type", numbered ? std::to_string(atoi(opt.type.c_str())) : json_string(opt.type));
    if (!opt.title.empty())
        fields.emplace_back("title", json_string(opt.title));
    if (!opt.leaderboard.empty())
        fields.emplace_back("leaderboard", json_string(with_line_breaks(opt.leaderboard)));
    if (!opt.romname.empty())
        fields.emplace_back("romname", json_string(opt.romname));
    if (with_title2 && !opt.title2.empty())
        fields.emplace_back("title2", json_string(opt.title2));
    std::string text = "{";
    for (const auto& [key, value] : fields)
        text += (text.size() > 1 ? ",\"" : "\"") + std::string(key) + "\":" + value;
    return text + "}";
}

void derive_lookup_keys(options& opt, const std::string& rom)
{
    if (!rom.empty()) {
        lookup_keys keys = game_lookup_keys(rom, opt.title);
        opt.romname = keys.romname;
        opt.title = keys.title;
        if (opt.title2.empty())
            opt.title2 = keys.title2;
    }
    if (!opt.system.empty() && rom.empty() && opt.romname.empty()) {
        if (opt.title.empty())
            opt.title = opt.system;
        opt.romname = opt.title2 = system_lookup_key(opt.system);
    }
}

bool names_game_and_system(const options& opt)
{
    return !opt.system.empty() && opt.romname != system_lookup_key(opt.system);
}
