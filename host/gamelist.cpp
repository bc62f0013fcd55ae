// Reads gamelist.xml files with pugixml and ROM folders into the games of the owner's library.
#include "host/gamelist.h"

#include <pugixml.hpp>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <system_error>

namespace fs = std::filesystem;

namespace {

constexpr const char* GAMELIST = "gamelist.xml";
// Media tags the frontends write (Batocera, RetroPie and Recalbox: marquee, wheel, image,
// thumbnail, video; some scrapers add these).
constexpr const char* MEDIA_TAGS[] = {"marquee", "wheel", "logo", "image", "screenshot", "titleshot", "thumbnail",
                                      "video"};

// A path as the frontends write it: "./x" and "x" are relative to the gamelist's folder, "~/x" to
// the home folder.
std::string resolve(const fs::path& folder, std::string text)
{
    if (text.rfind("~/", 0) == 0) {
        const char* home = getenv("HOME");
        return (fs::path(home ? home : "/") / text.substr(2)).lexically_normal().string();
    }
    fs::path path(text);
    return (path.is_absolute() ? path : folder / path).lexically_normal().string();
}

int read_gamelist(const fs::path& file, const std::string& system, std::vector<scraped_game>& games)
{
    pugi::xml_document document;
    pugi::xml_parse_result parsed = document.load_file(file.c_str());
    if (!parsed) {
        fprintf(stderr, "tavimoro-media: %s: not read (%s, at byte %lld); its games are left out\n", file.c_str(),
                parsed.description(), static_cast<long long>(parsed.offset));
        return 1;
    }
    fs::path folder = file.parent_path();
    // <folder> entries describe folders of the list, not games, and are passed over.
    for (pugi::xml_node node : document.child("gameList").children("game")) {
        std::string rom = node.child_value("path");
        if (rom.empty()) {
            fprintf(stderr, "tavimoro-media: %s: a game without <path> (\"%s\") is left out\n", file.c_str(),
                    node.child_value("name"));
            continue;
        }
        scraped_game game{system, file.string(), resolve(folder, rom), node.child_value("name"), {}};
        for (const char* tag : MEDIA_TAGS)
            if (const char* value = node.child_value(tag); value[0])
                game.media[tag] = resolve(folder, value);
        games.push_back(std::move(game));
    }
    return 0;
}

// A system folder without a gamelist: every file is a game known by its ROM name only.
void read_rom_folder(const fs::path& folder, std::vector<scraped_game>& games)
{
    std::error_code error;
    std::vector<fs::path> files;
    for (const fs::directory_entry& entry : fs::directory_iterator(folder, error))
        if (entry.is_regular_file(error) && entry.path().filename().string()[0] != '.')
            files.push_back(entry.path());
    std::sort(files.begin(), files.end());
    for (const fs::path& file : files)
        games.push_back({folder.filename().string(), folder.string(), file.string(), "", {}});
}

int read_folder(const fs::path& folder, std::vector<scraped_game>& games)
{
    if (fs::exists(folder / GAMELIST))
        return read_gamelist(folder / GAMELIST, folder.filename().string(), games);
    std::error_code error;
    std::vector<fs::path> systems;
    for (const fs::directory_entry& entry : fs::directory_iterator(folder, error))
        if (entry.is_directory(error))
            systems.push_back(entry.path());
    if (error) {
        fprintf(stderr, "tavimoro-media: %s: %s\n", folder.c_str(), error.message().c_str());
        return 1;
    }
    if (systems.empty()) {
        read_rom_folder(folder, games);
        return 0;
    }
    std::sort(systems.begin(), systems.end());
    int problems = 0;
    for (const fs::path& system : systems) {
        if (fs::exists(system / GAMELIST))
            problems += read_gamelist(system / GAMELIST, system.filename().string(), games);
        else
            read_rom_folder(system, games);
    }
    return problems;
}

} // namespace

int read_library(const std::string& input, std::vector<scraped_game>& games)
{
    fs::path path = fs::absolute(input).lexically_normal();
    std::error_code error;
    if (fs::is_directory(path, error))
        return read_folder(path, games);
    if (fs::is_regular_file(path, error))
        return read_gamelist(path, path.parent_path().filename().string(), games);
    fprintf(stderr, "tavimoro-media: %s: no such gamelist.xml or folder\n", input.c_str());
    return 1;
}
