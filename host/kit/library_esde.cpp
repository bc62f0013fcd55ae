// ES-DE: every ROM file of a system is a game, its gamelist in ES-DE's data folder adds names and
// hidden flags, and its media are found by the ROM's path in downloaded_media, never listed.
// The rules are ES-DE 3.1.1's (es-core/src/utils/FileSystemUtil.cpp, es-core/src/Settings.cpp,
// es-app/src/SystemData.cpp, es-app/src/FileData.cpp).
#include "host/kit/library.h"

#include <pugixml.hpp>

#include <algorithm>
#include <cstdlib>
#include <map>
#include <system_error>

namespace fs = std::filesystem;

namespace {

// The data folder's default name in the home (getAppDataDirectory).
constexpr const char* ESDE_FOLDER = "ES-DE";
constexpr const char* SETTINGS = "settings/es_settings.xml";
// Before ES-DE 2.0 (LegacyAppDataDirectory) the settings lay in the data folder itself.
constexpr const char* LEGACY_SETTINGS = "es_settings.xml";
constexpr const char* CUSTOM_SYSTEMS = "custom_systems/es_systems.xml";

bool esde_data(const fs::path& folder)
{
    std::error_code error;
    return fs::is_regular_file(folder / SETTINGS, error) || fs::is_regular_file(folder / LEGACY_SETTINGS, error) ||
           fs::is_regular_file(folder / CUSTOM_SYSTEMS, error);
}

// "~" at the start of a setting is the home (expandHomePath).
fs::path expand_home(const std::string& text, const fs::path& home)
{
    return (text[0] == '~' ? home.string() + "/" + text.substr(1) : text);
}

// Where ES-DE finds the games and their media (getROMDirectory, getMediaDirectory): the
// ROMDirectory and MediaDirectory settings, by default ~/ROMs and <data>/downloaded_media.
struct esde_settings {
    fs::path roms, media;
};

esde_settings read_settings(const fs::path& data, const fs::path& home)
{
    std::error_code error;
    fs::path file = fs::is_regular_file(data / SETTINGS, error) ? data / SETTINGS : data / LEGACY_SETTINGS;
    std::map<std::string, std::string> strings;
    pugi::xml_document document;
    if (document.load_file(file.c_str()))
        for (pugi::xml_node node : document.children("string"))
            strings[node.attribute("name").as_string()] = node.attribute("value").as_string();
    esde_settings settings{home / "ROMs", data / "downloaded_media"};
    if (!strings["ROMDirectory"].empty())
        settings.roms = expand_home(strings["ROMDirectory"], home);
    if (!strings["MediaDirectory"].empty())
        settings.media = expand_home(strings["MediaDirectory"], home);
    for (fs::path* path : {&settings.roms, &settings.media}) {
        *path = path->lexically_normal();
        if (path->filename().empty())
            *path = path->parent_path();
    }
    return settings;
}

// The data folder for TOP: TOP itself, or, for the ROM folder ES-DE reads, the data folder ES-DE
// uses ($ESDE_APPDATA_DIR, else ~/ES-DE); empty when neither.
fs::path data_folder(const fs::path& top)
{
    if (esde_data(top))
        return top;
    fs::path home = owner_home(top);
    const char* set = getenv("ESDE_APPDATA_DIR");
    fs::path data = set && set[0] ? expand_home(set, home).lexically_normal() : home / ESDE_FOLDER;
    if (data.filename().empty())
        data = data.parent_path();
    return esde_data(data) && read_settings(data, home).roms == top ? data : fs::path();
}

bool recognises(const fs::path& top)
{
    return !data_folder(top).empty();
}

// The systems: those of custom_systems/es_systems.xml, which ES-DE reads before its bundled
// list and which win over it, then every other folder of the ROM folder, as the bundled list
// puts each system in %ROMPATH%/<system>: with the bundled list's extensions where the kit's
// table (system_extensions) carries the system, and by the kit's rule of what can be a game for
// the rarer systems it does not carry (their folders would be lost otherwise).
int read_systems(const fs::path& data, const fs::path& home, const esde_settings& settings,
                 std::vector<listed_system>& systems)
{
    std::error_code error;
    int problems = 0;
    if (fs::is_regular_file(data / CUSTOM_SYSTEMS, error))
        problems = read_systems_list(data / CUSTOM_SYSTEMS, home, settings.roms, systems);
    for (const fs::path& folder : subfolders(settings.roms)) {
        std::string name = folder.filename().string();
        if (std::none_of(systems.begin(), systems.end(), [&](const listed_system& s) { return s.name == name; }))
            systems.push_back({name, folder, system_extensions(name)});
    }
    return problems;
}

// A system's games: its ROM files (and folders named with one of its extensions, one game each),
// named and hidden as <data>/gamelists/<system>/gamelist.xml says (getGamelistPath).
int read_system(const fs::path& data, const fs::path& home, const esde_settings& settings,
                const listed_system& system, std::vector<scraped_game>& games)
{
    fs::path list = data / "gamelists" / system.name / "gamelist.xml";
    std::vector<scraped_game> listed;
    std::error_code error;
    int problems = fs::is_regular_file(list, error) ? read_gamelist(list, system.roms, home, system.name, listed) : 0;
    std::map<std::string, const scraped_game*> by_rom;
    for (const scraped_game& game : listed)
        by_rom[game.rom] = &game;
    system_media media(system.roms, {settings.media / system.name});
    for (const fs::path& rom : rom_files(system.roms, system.extensions)) {
        scraped_game game{system.name, system.roms.string(), rom.lexically_normal().string(), "", false, {}};
        if (auto found = by_rom.find(game.rom); found != by_rom.end()) {
            game.source = list.string();
            game.name = found->second->name;
            game.hidden = found->second->hidden;
        }
        media.add_to(game);
        games.push_back(std::move(game));
    }
    return problems;
}

int read(const fs::path& top, std::vector<scraped_game>& games)
{
    fs::path data = data_folder(top);
    fs::path home = owner_home(data);
    esde_settings settings = read_settings(data, home);
    std::vector<listed_system> systems;
    int problems = read_systems(data, home, settings, systems);
    for (const listed_system& system : systems)
        problems += read_system(data, home, settings, system, games);
    return problems;
}

} // namespace

extern const library_layout ESDE_LAYOUT = {
    "ES-DE", "settings/es_settings.xml in ES-DE's data folder (~/ES-DE or $ESDE_APPDATA_DIR)", recognises, read};
