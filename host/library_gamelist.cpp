// EmulationStation gamelists (Batocera, RetroPie, Recalbox, and scrapers writing for them): a
// gamelist.xml per system, read with pugixml, its listed media by tag.
#include "host/library.h"

#include <pugixml.hpp>

#include <algorithm>
#include <cstdio>
#include <system_error>

namespace fs = std::filesystem;

namespace {

constexpr const char* GAMELIST = "gamelist.xml";

int read_gamelist(const fs::path& file, const fs::path& rom_folder, const std::string& system,
                  std::vector<scraped_game>& games)
{
    pugi::xml_document document;
    pugi::xml_parse_result parsed = document.load_file(file.c_str());
    if (!parsed) {
        fprintf(stderr, "tavimoro-media: %s: not read (%s, at byte %lld); its games are left out\n", file.c_str(),
                parsed.description(), static_cast<long long>(parsed.offset));
        return 1;
    }
    fs::path home = owner_home(file);
    // Paths are relative to the system's ROM folder. <folder> entries describe folders of the
    // list, not games, and are passed over.
    for (pugi::xml_node node : document.child("gameList").children("game")) {
        std::string rom = node.child_value("path");
        if (rom.empty()) {
            fprintf(stderr, "tavimoro-media: %s: a game without <path> (\"%s\") is left out\n", file.c_str(),
                    node.child_value("name"));
            continue;
        }
        scraped_game game{system, file.string(), resolve_listed_path(rom_folder, home, rom), node.child_value("name"),
                          std::string(node.child_value("hidden")) == "true", {}};
        for (const char* tag : MEDIA_TAGS)
            if (const char* value = node.child_value(tag); value[0])
                add_candidate(game, tag, resolve_listed_path(rom_folder, home, value));
        games.push_back(std::move(game));
    }
    return 0;
}

bool has_gamelist(const fs::path& folder)
{
    std::error_code error;
    return fs::is_regular_file(folder / GAMELIST, error);
}

// A gamelist.xml, a ROM folder holding one, or a folder of systems where one holds one.
bool recognises(const fs::path& top)
{
    if (top.filename() == GAMELIST)
        return true;
    if (has_gamelist(top))
        return true;
    std::vector<fs::path> systems = subfolders(top);
    return std::any_of(systems.begin(), systems.end(), has_gamelist);
}

// A system is its gamelist's folder; a system without one is read as a folder of ROMs.
int read(const fs::path& top, std::vector<scraped_game>& games)
{
    std::error_code error;
    if (fs::is_regular_file(top, error))
        return read_gamelist(top, top.parent_path(), top.parent_path().filename().string(), games);
    if (has_gamelist(top))
        return read_gamelist(top / GAMELIST, top, top.filename().string(), games);
    int problems = 0;
    for (const fs::path& system : subfolders(top)) {
        std::string name = system.filename().string();
        if (has_gamelist(system))
            problems += read_gamelist(system / GAMELIST, system, name, games);
        else
            read_system_folder(system, system_extensions(name), games);
    }
    return problems;
}

} // namespace

extern const library_layout GAMELIST_LAYOUT = {
    "EmulationStation gamelists", "gamelist.xml in each system's ROM folder", recognises, read};
