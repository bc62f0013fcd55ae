// Attract-Mode romlists, with the artwork their emulators name, read by Attract-Mode's own rules.
// Followed: mickelson/attract master (v2.7.0-31-g05cb9e5), and in it
//  - src/fe_romlist.cpp, fe_base.cpp, fe_util.cpp (load_from_file, line_to_setting_and_value,
//    token_helper): a romlist line is ';'-separated fields in a fixed order (Name, Title,
//    Emulator, CloneOf, ... AltRomname is the 14th); a line whose first field starts with '#' is
//    a comment, the "#Name;Title;..." header among them. A field starting with '"' runs to the
//    next '"' not after a backslash (\" stands for "), blanks around a field are trimmed.
//  - src/fe_info.cpp (FeEmulatorInfo): emulators/<Emulator>.cfg holds `setting value` lines;
//    rompath and romext are ';' lists ("<DIR>" for a ROM that is a folder), `artwork <label>
//    <path>[;<path>...]` adds folders to a label, and a relative path (after '~', "$HOME" and
//    "$PROGDIR" are put in) is taken from workdir.
//  - src/fe_settings.cpp (internal_get_best_artwork_file, gather_artwork_filenames,
//    FE_ART_EXTENSIONS): in each of a label's folders, then in scraper/<Emulator>/<label>/ (a
//    label with "box" in it looks in flyer/, "banner" in marquee/), the files named
//    "<name>.<ext>" (the name matched in any case) are pictures for .png .jpg .jpeg .bmp .tga
//    and videos where FFmpeg knows the extension; a folder without such a file may hold a
//    folder named <name> whose files all count. The name is the game's Name, then AltRomname,
//    then CloneOf: videos and pictures are each taken from the first of these that has some.
//  - src/fe_romlist.cpp (get_file_availability, gather_rom_names): the ROM is <rompath>/<Name>
//    followed by one of the romext extensions (compared in any case).
// The kit departs where it must: a relative path with no workdir is taken from the config
// folder (Attract-Mode takes its own working directory), and so is "$PROGDIR"; artwork in an
// archive or under "$LAYOUT" is left out (a layout's own), as are the "@" entries of the
// displays menu; videos are taken from snap (and labels named for videos) only, and .gif
// (a video to FFmpeg) is not taken as one.
#include "host/kit/library.h"

#include <strings.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <fstream>
#include <map>
#include <set>
#include <system_error>

namespace fs = std::filesystem;

namespace {

constexpr const char* BLANKS = " \t\r";
constexpr const char* FOLDER_ROM = "<DIR>";
constexpr const char* PICTURES[] = {".png", ".jpg", ".jpeg", ".bmp", ".tga"};
constexpr const char* VIDEOS[] = {".mp4", ".m4v", ".mov", ".mkv", ".webm", ".avi", ".flv", ".f4v", ".mpg",
                                  ".mpeg", ".ts", ".m2ts", ".wmv", ".asf", ".ogv", ".3gp", ".vob"};
constexpr const char* ARCHIVES[] = {".zip", ".7z", ".rar", ".tar", ".gz", ".tgz", ".bz2", ".xz"};

// The romlist fields by position.
enum field { TITLE = 1, EMULATOR = 2, CLONE_OF = 3, ALT_ROMNAME = 13, FIELDS = 21 };

// Artwork label -> the media tag its pictures go to, and whether its videos go to "video".
struct label_map {
    const char* label;
    const char* tag;  // "" for videos only
    bool videos;
};
constexpr label_map LABELS[] = {
    {"snap", "screenshot", true}, {"video", "", true},       {"videos", "", true},        {"movie", "", true},
    {"flyer", "boxart", false},   {"box", "boxart", false},  {"box3d", "box3d", false},   {"3dbox", "box3d", false},
    {"banner", "marquee", false}, {"title", "titleshot", false}, {"titles", "titleshot", false},
    {"cart", "cartridge", false},
};

bool ends_with_any_case(const std::string& name, const std::string& tail)
{
    return name.size() >= tail.size() && strcasecmp(name.c_str() + name.size() - tail.size(), tail.c_str()) == 0;
}

template <size_t N>
bool ends_with_one_of(const std::string& name, const char* const (&tails)[N])
{
    return std::any_of(std::begin(tails), std::end(tails),
                       [&](const char* tail) { return ends_with_any_case(name, tail); });
}

bool is_file(const fs::path& path)
{
    std::error_code error;
    return fs::is_regular_file(path, error);
}

bool is_folder(const fs::path& path)
{
    std::error_code error;
    return fs::is_directory(path, error);
}

// One field of an Attract-Mode line, from `pos`, which is left past it and its separator.
std::string next_field(const std::string& line, size_t& pos, const char* separators)
{
    pos = line.find_first_not_of(BLANKS, pos);
    if (pos == std::string::npos) {
        pos = line.size();
        return "";
    }
    bool quoted = line[pos] == '"';
    bool escaped = false;
    size_t end;
    if (quoted) {
        end = line.find('"', ++pos);
        for (; end != std::string::npos && line[end - 1] == '\\'; end = line.find('"', end + 1))
            escaped = true;
    } else {
        end = line.find_first_of(separators, pos);
    }
    size_t start = pos;
    pos = end == std::string::npos ? line.size() : end + (quoted ? 2 : 1);
    std::string text = line.substr(start, end == std::string::npos ? std::string::npos : end - start);
    size_t first = text.find_first_not_of(BLANKS);
    text = first == std::string::npos ? "" : text.substr(first, text.find_last_not_of(BLANKS) - first + 1);
    if (escaped)
        for (size_t at = text.find("\\\""); at != std::string::npos; at = text.find("\\\"", at + 1))
            text.erase(at, 1);
    return text;
}

// A ';' list, as Attract-Mode splits rompath, romext and artwork paths.
std::vector<std::string> split_list(const std::string& text, bool keep_empty)
{
    std::vector<std::string> items;
    size_t pos = 0;
    do {
        std::string item = next_field(text, pos, ";");
        if (!item.empty() || keep_empty)
            items.push_back(item);
    } while (pos < text.size());
    return items;
}

// A `setting value` line: false for a comment or a blank line.
bool split_setting(const std::string& line, const char* separators, std::string& setting, std::string& value)
{
    size_t pos = 0;
    setting = next_field(line, pos, separators);
    if (setting.empty() || setting[0] == '#')
        return false;
    pos = line.find_first_not_of(BLANKS, pos);
    value = pos >= line.size() ? "" : line.substr(pos, line.find_last_not_of(BLANKS) - pos + 1);
    return true;
}

struct emulator {
    bool found = false;
    std::vector<std::string> rom_paths;  // resolved, each ending in '/'
    std::vector<std::string> extensions;
    std::vector<std::pair<std::string, std::vector<std::string>>> artwork;  // label -> folders, in file order
};

// What a config folder's emulators, folders and files are, read once each.
class attract_config {
public:
    explicit attract_config(const fs::path& folder) : folder_(folder), home_(owner_home(folder)) {}

    const fs::path& folder() const { return folder_; }

    // The emulator named in a romlist; null when its .cfg is missing (said once, as a problem).
    const emulator* find_emulator(const std::string& name, int& problems)
    {
        auto [it, fresh] = emulators_.try_emplace(name);
        if (fresh)
            it->second = load_emulator(name, problems);
        return it->second.found ? &it->second : nullptr;
    }

    // The names in a folder, sorted ("" for none).
    const std::vector<std::string>& names_in(const std::string& folder)
    {
        auto [it, fresh] = listings_.try_emplace(folder);
        if (fresh) {
            std::error_code error;
            for (const fs::directory_entry& item : fs::directory_iterator(folder, error))
                it->second.push_back(item.path().filename().string());
            std::sort(it->second.begin(), it->second.end());
        }
        return it->second;
    }

private:
    // Attract-Mode's clean_path, then a relative path taken from workdir (or the config folder).
    std::string resolve(const std::string& text, const std::string& workdir, bool folder) const
    {
        std::string path = text;
        if (path.rfind("$HOME", 0) == 0)
            path.replace(0, 5, home_.string());
        else if (path.rfind('~', 0) == 0)
            path.replace(0, 1, home_.string());
        else if (path.rfind("$PROGDIR", 0) == 0)
            path.replace(0, 8, folder_.string() + "/");
        if (!path.empty() && path[0] != '/')
            path = (workdir.empty() ? folder_.string() : workdir) + "/" + path;
        path = fs::path(path).lexically_normal().string();
        if (folder && (path.empty() || path.back() != '/'))
            path += '/';
        return path;
    }

    emulator load_emulator(const std::string& name, int& problems)
    {
        emulator found;
        fs::path file = folder_ / "emulators" / (name + ".cfg");
        std::ifstream in(file);
        if (!in) {
            fprintf(stderr, "tavimoro-media: %s: missing; the games of emulator \"%s\" have no artwork\n", file.c_str(),
                    name.c_str());
            problems++;
            return found;
        }
        found.found = true;
        std::string workdir, rom_paths;
        std::vector<std::pair<std::string, std::string>> artwork;
        for (std::string line, setting, value; std::getline(in, line);) {
            if (!split_setting(line, BLANKS, setting, value))
                continue;
            if (setting == "workdir") {
                workdir = value;
            } else if (setting == "rompath") {
                rom_paths = value;
            } else if (setting == "romext") {
                found.extensions = split_list(value, true);
            } else if (setting == "artwork") {
                size_t pos = 0;
                std::string label = next_field(value, pos, BLANKS);
                artwork.emplace_back(label, next_field(value, pos, "\n"));
            }
        }
        if (!workdir.empty())
            workdir = resolve(workdir, "", false);
        for (const std::string& path : split_list(rom_paths, false))
            found.rom_paths.push_back(resolve(path, workdir, true));
        for (const auto& [label, paths] : artwork) {
            auto slot = std::find_if(found.artwork.begin(), found.artwork.end(),
                                     [&](const auto& known) { return known.first == label; });
            if (slot == found.artwork.end())
                slot = found.artwork.insert(found.artwork.end(), {label, {}});
            for (const std::string& path : split_list(paths, false))
                if (path.find("$LAYOUT") == std::string::npos && !ends_with_one_of(path, ARCHIVES))
                    slot->second.push_back(resolve(path, workdir, true));
        }
        return found;
    }

    fs::path folder_;
    fs::path home_;
    std::map<std::string, emulator> emulators_;
    std::map<std::string, std::vector<std::string>> listings_;
};

struct artwork_files {
    std::vector<std::string> pictures, videos;
};

void sort_file(const std::string& path, artwork_files& into)
{
    if (!is_file(path))
        return;
    if (ends_with_one_of(path, PICTURES))
        into.pictures.push_back(path);
    else if (ends_with_one_of(path, VIDEOS))
        into.videos.push_back(path);
}

// The artwork for `target` (a ROM name) in `folders`, each ending in '/'.
artwork_files gather(attract_config& config, const std::vector<std::string>& folders, const std::string& target)
{
    artwork_files found;
    std::string prefix = target + ".";
    for (const std::string& folder : folders) {
        artwork_files here;
        for (const std::string& name : config.names_in(folder))
            if (strncasecmp(name.c_str(), prefix.c_str(), prefix.size()) == 0)
                sort_file(folder + name, here);
        if (here.pictures.empty() && here.videos.empty() && is_folder(folder + target))
            for (const std::string& name : config.names_in(folder + target + "/"))
                sort_file(folder + target + "/" + name, here);
        found.pictures.insert(found.pictures.end(), here.pictures.begin(), here.pictures.end());
        found.videos.insert(found.videos.end(), here.videos.begin(), here.videos.end());
    }
    return found;
}

// The tag a label's pictures go to ("" when none) and whether its videos go to "video".
std::pair<std::string, bool> label_tag(const std::string& label)
{
    for (const label_map& known : LABELS)
        if (label == known.label)
            return {known.tag, known.videos};
    if (known_media_tag(label) && label != VIDEO_TAG)
        return {label, false};
    return {"", false};
}

// The scraper's folder a label looks in: box art in flyer/, banners in marquee/.
std::string scraper_label(const std::string& label)
{
    if (label.find("box") != std::string::npos)
        return "flyer";
    return label == "banner" ? "marquee" : label;
}

struct rom_line {
    std::string name;
    std::vector<std::string> fields;  // by position, FIELDS of them
};

bool read_line(const std::string& line, rom_line& rom)
{
    std::string value;
    if (!split_setting(line, ";", rom.name, value))
        return false;
    rom.fields.assign(FIELDS, "");
    size_t pos = 0;
    for (int i = 1; i < FIELDS; i++)
        rom.fields[i] = next_field(value, pos, ";");
    return true;
}

// The ROM file Attract-Mode would launch, or a path of the same name where none is there.
std::string find_rom(attract_config& config, const emulator* emu, const std::string& name)
{
    std::string extension;
    if (emu) {
        for (const std::string& folder : emu->rom_paths)
            for (const std::string& ext : emu->extensions) {
                if (ext == FOLDER_ROM) {
                    if (is_folder(folder + name))
                        return folder + name;
                    continue;
                }
                for (const std::string& file : config.names_in(folder))
                    if (file.size() == name.size() + ext.size() && file.compare(0, name.size(), name) == 0 &&
                        ends_with_any_case(file, ext))
                        return folder + file;
            }
        for (const std::string& ext : emu->extensions)
            if (extension.empty() && ext != FOLDER_ROM)
                extension = ext;
    }
    std::string folder = emu && !emu->rom_paths.empty() ? emu->rom_paths.front() : "";
    return folder + name + extension;
}

void add_artwork(attract_config& config, const std::string& emulator_name, const emulator& emu, const rom_line& rom,
                 scraped_game& game)
{
    // The labels: the emulator's, then the scraper's folders it has not named.
    std::vector<std::pair<std::string, std::vector<std::string>>> labels = emu.artwork;
    std::string scraper = (config.folder() / "scraper" / emulator_name).string() + "/";
    for (auto& [label, folders] : labels)
        if (is_folder(scraper + scraper_label(label)))
            folders.push_back(scraper + scraper_label(label) + "/");
    for (const std::string& name : config.names_in(scraper))
        if (is_folder(scraper + name) &&
            std::none_of(labels.begin(), labels.end(), [&](const auto& known) { return known.first == name; }))
            labels.push_back({name, {scraper + name + "/"}});

    const std::string& alt = rom.fields[ALT_ROMNAME];
    const std::string& clone = rom.fields[CLONE_OF];
    for (const auto& [label, folders] : labels) {
        auto [tag, videos] = label_tag(label);
        if (tag.empty() && !videos)
            continue;
        std::vector<artwork_files> found{gather(config, folders, rom.name)};
        if (!alt.empty() && alt != rom.name)
            found.push_back(gather(config, folders, alt));
        if (!clone.empty() && clone != alt)
            found.push_back(gather(config, folders, clone));
        auto first_pictures =
            std::find_if(found.begin(), found.end(), [](const auto& f) { return !f.pictures.empty(); });
        auto first_videos = std::find_if(found.begin(), found.end(), [](const auto& f) { return !f.videos.empty(); });
        if (!tag.empty() && first_pictures != found.end())
            for (const std::string& file : first_pictures->pictures)
                add_candidate(game, tag, file);
        if (videos && first_videos != found.end())
            for (const std::string& file : first_videos->videos)
                add_candidate(game, VIDEO_TAG, file);
    }
}

int read_romlist(attract_config& config, const fs::path& file, std::vector<scraped_game>& games)
{
    std::ifstream in(file);
    if (!in) {
        fprintf(stderr, "tavimoro-media: %s: cannot be opened; its games are left out\n", file.c_str());
        return 1;
    }
    int problems = 0;
    rom_line rom;
    for (std::string line; std::getline(in, line);) {
        if (!read_line(line, rom))
            continue;
        const std::string& emulator_name = rom.fields[EMULATOR];
        if (emulator_name.rfind('@', 0) == 0)
            continue;  // a displays-menu entry
        const emulator* emu = emulator_name.empty() ? nullptr : config.find_emulator(emulator_name, problems);
        scraped_game game{file.stem().string(), file.string(), find_rom(config, emu, rom.name), rom.fields[TITLE],
                          false, {}};
        if (emu)
            add_artwork(config, emulator_name, *emu, rom, game);
        games.push_back(std::move(game));
    }
    return problems;
}

bool is_romlist(const fs::path& file)
{
    if (!ends_with_any_case(file.filename().string(), ".txt") || !is_file(file))
        return false;
    if (file.parent_path().filename() == "romlists")
        return true;
    std::ifstream in(file);
    std::string first;
    std::getline(in, first);
    return first.rfind("#Name;", 0) == 0;
}

// An Attract-Mode config folder (attract.cfg, or romlists/ beside emulators/), or a romlist.
bool recognises(const fs::path& top)
{
    if (is_romlist(top))
        return true;
    return is_file(top / "attract.cfg") || (is_folder(top / "romlists") && is_folder(top / "emulators"));
}

int read(const fs::path& top, std::vector<scraped_game>& games)
{
    if (is_file(top)) {
        fs::path lists = top.parent_path();
        attract_config config(lists.filename() == "romlists" ? lists.parent_path() : lists);
        return read_romlist(config, top, games);
    }
    attract_config config(top);
    std::vector<fs::path> romlists;
    std::error_code error;
    for (const fs::directory_entry& item : fs::directory_iterator(top / "romlists", error))
        if (ends_with_any_case(item.path().filename().string(), ".txt") && is_file(item.path()))
            romlists.push_back(item.path());
    std::sort(romlists.begin(), romlists.end());
    int problems = 0;
    for (const fs::path& romlist : romlists)
        problems += read_romlist(config, romlist, games);
    return problems;
}

} // namespace

extern const library_layout ATTRACT_LAYOUT = {
    "Attract-Mode romlists", "romlists/*.txt and emulators/*.cfg in Attract-Mode's config folder", recognises, read};
