// What every library reader shares: the table of layouts, finding the one a folder is laid out
// by, which files are ROMs, and how listed paths resolve.
#include "host/kit/library.h"

#include <pwd.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <system_error>

namespace fs = std::filesystem;


namespace {

std::string lower(std::string text)
{
    for (char& c : text)
        c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    return text;
}

// Files beside the ROMs that are never games, where a system's extensions are not known.
constexpr const char* NOT_ROMS[] = {".png", ".jpg", ".jpeg", ".webp", ".gif", ".bmp", ".tga", ".svg",
                                    ".mp4", ".mkv", ".avi", ".webm", ".mov", ".mpg", ".srm", ".sav",
                                    ".auto", ".rtc", ".txt", ".xml", ".cfg", ".json", ".nfo", ".pdf",
                                    ".md", ".lpl", ".ini", ".log", ".bak", ".cht", ".dat", ".db",
                                    ".mcr", ".eep", ".fla", ".sh", ".html", ".htm", ".old", ".tmp"};

// The ROM extensions of the systems owners have most, as their frontends list them.
struct system_row {
    const char* names;       // the folder names frontends give the system, space-separated
    const char* extensions;  // space-separated
};
constexpr system_row SYSTEMS[] = {
    {"arcade mame fbneo fba neogeo cps1 cps2 cps3 naomi atomiswave", ".zip .7z .chd"},
    {"nes famicom", ".nes .unf .unif .fds .zip .7z"},
    {"snes sfc superfamicom", ".sfc .smc .fig .swc .bs .st .zip .7z"},
    {"megadrive genesis", ".md .gen .smd .bin .sg .zip .7z"},
    {"mastersystem", ".sms .bin .zip .7z"},
    {"gamegear", ".gg .bin .zip .7z"},
    {"gb", ".gb .zip .7z"},
    {"gbc", ".gbc .gb .zip .7z"},
    {"gba", ".gba .zip .7z"},
    {"n64", ".n64 .z64 .v64 .zip .7z"},
    {"nds", ".nds .zip .7z"},
    {"pcengine tg16", ".pce .cue .ccd .chd .zip .7z"},
    {"atari2600", ".a26 .bin .zip .7z"},
    {"psx ps1", ".cue .bin .chd .pbp .m3u .iso .img .ccd .toc .ecm .zip .7z"},
    {"ps2", ".iso .chd .cso .bin .cue .m3u"},
    {"psp", ".iso .cso .pbp .chd"},
    {"segacd megacd", ".cue .chd .iso .m3u"},
    {"saturn", ".cue .chd .iso .m3u .ccd"},
    {"dreamcast", ".cdi .gdi .chd .m3u .cue"},
};

bool ends_with_any(const std::string& name, const std::vector<std::string>& extensions)
{
    return std::any_of(extensions.begin(), extensions.end(), [&](const std::string& extension) {
        return name.size() > extension.size() && name.compare(name.size() - extension.size(), extension.size(), extension) == 0;
    });
}

// Save states are numbered: .state, .state1, .st0 ... .st9.
bool save_state(const std::string& extension)
{
    return extension.rfind(".state", 0) == 0 || (extension.size() == 4 && extension.rfind(".st", 0) == 0 &&
                                                 isdigit(static_cast<unsigned char>(extension[3])));
}

void collect_roms(const fs::path& folder, const std::vector<std::string>& extensions, std::vector<fs::path>& found)
{
    std::error_code error;
    for (const fs::directory_entry& entry : fs::directory_iterator(folder, error)) {
        std::string name = entry.path().filename().string();
        if (name[0] == '.')
            continue;
        if (!entry.is_directory(error)) {
            if (entry.is_regular_file(error) && rom_file(entry.path(), extensions))
                found.push_back(entry.path());
        } else if (!extensions.empty() && ends_with_any(lower(name), extensions)) {
            found.push_back(entry.path());
        } else {
            collect_roms(entry.path(), extensions, found);
        }
    }
}

} // namespace

bool known_media_tag(std::string_view tag)
{
    return std::any_of(std::begin(MEDIA_TAGS), std::end(MEDIA_TAGS), [&](const char* known) { return tag == known; });
}

const std::vector<const library_layout*>& library_layouts()
{
    static const std::vector<const library_layout*> layouts = {&ESDE_LAYOUT, &RETROARCH_LAYOUT, &ATTRACT_LAYOUT,
                                                               &GAMELIST_LAYOUT, &MEDIA_FOLDER_LAYOUT};
    return layouts;
}

namespace {

const library_layout* layout_of(const fs::path& top)
{
    for (const library_layout* layout : library_layouts())
        if (layout->recognises(top))
            return layout;
    return nullptr;
}

} // namespace

library_result read_library(const std::string& input, bool hidden, std::vector<scraped_game>& games)
{
    library_result result;
    fs::path top = fs::absolute(input).lexically_normal();
    if (top.filename().empty())
        top = top.parent_path();
    std::error_code error;
    if (!fs::exists(top, error)) {
        fprintf(stderr, "tavimoro-media: %s: no such file or folder\n", input.c_str());
        result.problems = 1;
        return result;
    }
    result.layout = layout_of(top);
    // A data folder no frontend's own layout claims, holding roms/ (Batocera's /userdata,
    // Recalbox's share, ~/RetroPie), is read as roms/.
    if ((!result.layout || result.layout == &MEDIA_FOLDER_LAYOUT) && fs::is_directory(top / "roms", error)) {
        top /= "roms";
        result.layout = layout_of(top);
    }
    if (!result.layout)
        return result;
    std::vector<scraped_game> read;
    result.problems = result.layout->read(top, read);
    for (scraped_game& game : read) {
        if (game.hidden && !hidden)
            result.hidden_left_out++;
        else
            games.push_back(std::move(game));
    }
    return result;
}

std::vector<std::string> system_extensions(const std::string& system)
{
    std::string wanted = " " + lower(system) + " ";
    for (const system_row& row : SYSTEMS) {
        if ((" " + std::string(row.names) + " ").find(wanted) == std::string::npos)
            continue;
        std::vector<std::string> extensions;
        std::string list = row.extensions;
        for (size_t start = 0, space; start < list.size(); start = space + 1) {
            space = std::min(list.find(' ', start), list.size());
            extensions.push_back(list.substr(start, space - start));
        }
        return extensions;
    }
    return {};
}

bool rom_file(const fs::path& file, const std::vector<std::string>& extensions)
{
    std::string name = lower(file.filename().string());
    if (name.empty() || name[0] == '.')
        return false;
    if (!extensions.empty())
        return ends_with_any(name, extensions);
    std::string extension = lower(file.extension().string());
    return !save_state(extension) &&
           std::none_of(std::begin(NOT_ROMS), std::end(NOT_ROMS), [&](const char* not_rom) { return extension == not_rom; });
}

std::vector<fs::path> rom_files(const fs::path& folder, const std::vector<std::string>& extensions)
{
    std::vector<fs::path> found;
    collect_roms(folder, extensions, found);
    std::sort(found.begin(), found.end());
    return found;
}

std::vector<fs::path> subfolders(const fs::path& folder)
{
    std::error_code error;
    std::vector<fs::path> found;
    for (const fs::directory_entry& entry : fs::directory_iterator(folder, error))
        if (entry.is_directory(error) && entry.path().filename().string()[0] != '.')
            found.push_back(entry.path());
    std::sort(found.begin(), found.end());
    return found;
}

void add_candidate(scraped_game& game, const std::string& tag, const fs::path& file)
{
    std::vector<std::string>& candidates = game.media[tag];
    std::string text = file.lexically_normal().string();
    if (std::find(candidates.begin(), candidates.end(), text) == candidates.end())
        candidates.push_back(std::move(text));
}

std::string resolve_listed_path(const fs::path& folder, const fs::path& home, const std::string& text)
{
    if (text.rfind("~/", 0) == 0)
        return (home / text.substr(2)).lexically_normal().string();
    fs::path path(text);
    return (path.is_absolute() ? path : folder / path).lexically_normal().string();
}

fs::path owner_home(const fs::path& path)
{
    struct stat info;
    if (stat(path.c_str(), &info) == 0)
        if (const passwd* user = getpwuid(info.st_uid); user && user->pw_dir)
            return user->pw_dir;
    const char* home = getenv("HOME");
    return home ? home : "/";
}
