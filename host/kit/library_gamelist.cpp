// EmulationStation gamelists (RetroPie, Batocera, Recalbox, and the scrapers writing for them): a
// gamelist.xml per system, read with pugixml, its listed media by tag, then the media the
// scrapers' folders hold.
#include "host/kit/library.h"

#include <pugixml.hpp>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <system_error>

namespace fs = std::filesystem;

namespace {

constexpr const char* GAMELIST = "gamelist.xml";
// RetroPie's EmulationStation keeps its configuration in ~/.emulationstation, never elsewhere.
constexpr const char* ES_FOLDER = ".emulationstation";
constexpr const char* ES_SYSTEMS = "es_systems.cfg";
constexpr const char* ETC_ES_FOLDER = "/etc/emulationstation";
// RetroPie's ROM folder, where its es_systems.cfg puts every system: ~/RetroPie/roms/<system>.
constexpr const char* RETROPIE_ROMS = "RetroPie/roms";
// Where RetroPie-Setup's Skyscraper module has Skyscraper write the media (-o):
// ~/.emulationstation/downloaded_media/<system>.
constexpr const char* DOWNLOADED_MEDIA = "downloaded_media";

// The gamelist EmulationStation reads for a system, as RetroPie's EmulationStation v2.11.2
// finds it (es-app/src/SystemData.cpp, getGamelistPath): beside the ROMs, else in
// ~/.emulationstation/gamelists/<system>/, else in /etc/emulationstation/gamelists/<system>/.
fs::path find_gamelist(const fs::path& roms, const fs::path& es_folder, const std::string& system)
{
    std::error_code error;
    for (const fs::path& file : {roms / GAMELIST, es_folder / "gamelists" / system / GAMELIST,
                                 fs::path(ETC_ES_FOLDER) / "gamelists" / system / GAMELIST})
        if (fs::is_regular_file(file, error))
            return file;
    return {};
}

// RetroPie's configuration folder, and the home it lies in.
struct es_place {
    fs::path folder, home;
};

es_place place_of(const fs::path& es_folder)
{
    return {es_folder, es_folder.filename() == ES_FOLDER ? es_folder.parent_path() : owner_home(es_folder)};
}

bool es_folder(const fs::path& top)
{
    std::error_code error;
    return top.filename() == ES_FOLDER || fs::is_regular_file(top / ES_SYSTEMS, error) ||
           fs::is_directory(top / "gamelists", error);
}

// The systems RetroPie's EmulationStation knows: those its es_systems.cfg names
// (~/.emulationstation/es_systems.cfg, else /etc/emulationstation/es_systems.cfg: getConfigPath),
// or without one the folders of ~/RetroPie/roms and of the gamelists folder.
int es_systems(const es_place& place, std::vector<listed_system>& systems)
{
    std::error_code error;
    for (const fs::path& list : {place.folder / ES_SYSTEMS, fs::path(ETC_ES_FOLDER) / ES_SYSTEMS})
        if (fs::is_regular_file(list, error))
            return read_systems_list(list, place.home, "", systems);
    std::vector<fs::path> folders = subfolders(place.home / RETROPIE_ROMS);
    for (const fs::path& listed : subfolders(place.folder / "gamelists")) {
        std::string name = listed.filename().string();
        if (std::none_of(folders.begin(), folders.end(), [&](const fs::path& f) { return f.filename() == name; }))
            folders.push_back(place.home / RETROPIE_ROMS / name);
    }
    for (const fs::path& folder : folders) {
        std::string name = folder.filename().string();
        systems.push_back({name, folder, system_extensions(name)});
    }
    return 0;
}

// A system: the games its gamelist lists, each with its listed media, then what the media folders
// hold; a system without a gamelist is read as a folder of ROMs.
int read_system(const es_place& place, const listed_system& system, std::vector<scraped_game>& games)
{
    std::vector<fs::path> roots = {place.folder / DOWNLOADED_MEDIA / system.name};
    fs::path list = find_gamelist(system.roms, place.folder, system.name);
    if (list.empty()) {
        read_system_folder(system.roms, system.extensions, games, roots, system.name);
        return 0;
    }
    size_t first = games.size();
    int problems = read_gamelist(list, system.roms, place.home, system.name, games);
    system_media media(system.roms, roots);
    for (size_t i = first; i < games.size(); ++i)
        media.add_to(games[i]);
    return problems;
}

// A folder of systems: each subfolder a system named by its folder.
std::vector<listed_system> folder_systems(const fs::path& top)
{
    std::vector<listed_system> systems;
    for (const fs::path& folder : subfolders(top)) {
        std::string name = folder.filename().string();
        systems.push_back({name, folder, system_extensions(name)});
    }
    return systems;
}

// RetroPie's configuration folder; a gamelist.xml (with its system's ROM folder: beside it, or
// the one its system has when it lies in ~/.emulationstation/gamelists/<system>/); a ROM folder
// with a gamelist where EmulationStation looks; a folder of systems where one has one.
bool recognises(const fs::path& top)
{
    if (top.filename() == GAMELIST || es_folder(top))
        return true;
    es_place place = place_of(owner_home(top) / ES_FOLDER);
    if (!find_gamelist(top, place.folder, top.filename().string()).empty())
        return true;
    std::vector<listed_system> systems = folder_systems(top);
    return std::any_of(systems.begin(), systems.end(), [&](const listed_system& system) {
        return !find_gamelist(system.roms, place.folder, system.name).empty();
    });
}

// The systems to read for TOP, and RetroPie's configuration folder they go with.
int systems_for(const fs::path& top, es_place& place, std::vector<listed_system>& systems)
{
    fs::path folder = top.filename() == GAMELIST ? top.parent_path() : top;
    std::string name = folder.filename().string();
    if (top.filename() == GAMELIST && folder.parent_path().filename() == "gamelists") {
        place = place_of(folder.parent_path().parent_path());
        int problems = es_systems(place, systems);
        std::erase_if(systems, [&](const listed_system& system) { return system.name != name; });
        if (systems.empty())
            systems.push_back({name, place.home / RETROPIE_ROMS / name, system_extensions(name)});
        return problems;
    }
    if (es_folder(top)) {
        place = place_of(top);
        return es_systems(place, systems);
    }
    place = place_of(owner_home(top) / ES_FOLDER);
    if (find_gamelist(folder, place.folder, name).empty())
        systems = folder_systems(folder);
    else
        systems.push_back({name, folder, system_extensions(name)});
    return 0;
}

int read(const fs::path& top, std::vector<scraped_game>& games)
{
    es_place place;
    std::vector<listed_system> systems;
    int problems = systems_for(top, place, systems);
    for (const listed_system& system : systems)
        problems += read_system(place, system, games);
    return problems;
}

} // namespace

int read_gamelist(const fs::path& file, const fs::path& rom_folder, const fs::path& home, const std::string& system,
                  std::vector<scraped_game>& games)
{
    pugi::xml_document document;
    pugi::xml_parse_result parsed = document.load_file(file.c_str());
    if (!parsed) {
        fprintf(stderr, "tavimoro-media: %s: not read (%s, at byte %lld); its games are left out\n", file.c_str(),
                parsed.description(), static_cast<long long>(parsed.offset));
        return 1;
    }
    // Paths are relative to the system's ROM folder, wherever the gamelist lies (RetroPie's
    // EmulationStation v2.11.2, es-app/src/Gamelist.cpp and MetaData.cpp: resolveRelativePath
    // against getStartPath, "~/" in the home for media). <folder> entries describe folders of
    // the list, not games, and are passed over.
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

// <systemList><system><name>, <path>, <extension> (space-separated), <fullname>: RetroPie's
// EmulationStation v2.11.2 expands a leading "~" of the path (SystemData::loadSystem), ES-DE
// 3.1.1 also "%ROMPATH%" (SystemData::loadConfig).
int read_systems_list(const fs::path& file, const fs::path& home, const fs::path& rom_directory,
                      std::vector<listed_system>& systems)
{
    pugi::xml_document document;
    pugi::xml_parse_result parsed = document.load_file(file.c_str());
    if (!parsed) {
        fprintf(stderr, "tavimoro-media: %s: not read (%s, at byte %lld)\n", file.c_str(), parsed.description(),
                static_cast<long long>(parsed.offset));
        return 1;
    }
    for (pugi::xml_node node : document.child("systemList").children("system")) {
        std::string name = node.child_value("name");
        std::string path = node.child_value("path");
        if (name.empty() || path.empty())
            continue;
        if (size_t at = path.find("%ROMPATH%"); at != std::string::npos)
            path.replace(at, strlen("%ROMPATH%"), rom_directory.string() + "/");
        if (path[0] == '~')
            path = home.string() + "/" + path.substr(1);
        listed_system system{name, fs::path(path).lexically_normal(), {}, node.child_value("fullname")};
        std::string list = node.child_value("extension");
        std::transform(list.begin(), list.end(), list.begin(), [](unsigned char c) { return tolower(c); });
        for (size_t start = list.find_first_not_of(" \t\n"); start != std::string::npos;
             start = list.find_first_not_of(" \t\n", start)) {
            size_t end = std::min(list.find_first_of(" \t\n", start), list.size());
            std::string extension = list.substr(start, end - start);
            if (std::find(system.extensions.begin(), system.extensions.end(), extension) == system.extensions.end())
                system.extensions.push_back(extension);
            start = end;
        }
        if (system.roms.filename().empty())
            system.roms = system.roms.parent_path();
        systems.push_back(std::move(system));
    }
    return 0;
}

extern const library_layout GAMELIST_LAYOUT = {
    "EmulationStation gamelists",
    "gamelist.xml beside each system's ROMs or in ~/.emulationstation/gamelists/<system>/", recognises, read};
