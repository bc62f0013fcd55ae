// Pegasus metadata files, with the assets they list and those its media/<game>/ folders hold, read
// by Pegasus's own rules. Followed: its user guide ("Metadata files", "Asset searching") and
// mmatyas/pegasus-frontend master, and in it
//  - src/backend/parsers/MetaFile.cpp (read_stream): a line is `key: value`, the key in any case;
//    a line starting with a blank continues the value before it (a lone "." is an empty line), a
//    line starting with '#' is a comment, and an empty line ends a value.
//  - providers/pegasus_metadata/PegasusProvider.cpp (is_metadata_file): the files of a game
//    folder named metadata.pegasus.txt, metadata.txt, or ending in .metadata.pegasus.txt or
//    .metadata.txt.
//  - PegasusMetadata.cpp (apply_entry): `collection:` starts a collection (`shortname:`,
//    `extension(s):` comma-separated, `file(s):` and `directory/directories:` relative to the
//    metadata file, and their `ignore-` forms); `game:` starts a game, which belongs to every
//    collection the file named before it, its `file(s):` relative to the metadata file; on
//    either, `assets.<type>:` (or `asset.`) lists files, `x-` keys are the owner's own.
//  - PegasusFilter.cpp (apply_filter): a collection's games are its listed files that exist and
//    the files with one of its extensions in its folders and their subfolders but media/; a
//    file a `game:` lists is that game.
//  - PegasusMedia.cpp and PegasusAssets.cpp (find_assets, str_to_type, allowed_asset_exts): the
//    assets of the game with file <folder>/<sub>/<name>.<ext> are <folder>/media/<sub>/<name, or
//    the game's title>/<type>.<png, jpg, webp; mp4, webm, avi for videos>, <type> a known name
//    or one starting with it ("screenshot2").
// The kit departs where it must: a collection's `regex:` is passed over (its listed files and
// extensions still count); of a game's several files the first is its ROM; a type named by a
// prefix takes the longest known name (Pegasus takes any, in no fixed order); type names are
// compared in any case; and Pegasus's "screenmarquee" (a bezel to it) is a marquee here, as
// the scrapers that write it mean one.
#include "host/kit/library.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <cstdio>
#include <fstream>
#include <set>
#include <system_error>

namespace fs = std::filesystem;

namespace {

constexpr const char* BLANKS = " \t\r";
// Editors on Windows may start the file with one; Pegasus reads past it.
constexpr const char* UTF8_BOM = "\xEF\xBB\xBF";
constexpr const char* MEDIA_FOLDER = "media";
constexpr const char* VIDEO_EXTENSIONS[] = {".mp4", ".webm", ".avi"};
constexpr const char* PICTURE_EXTENSIONS[] = {".png", ".jpg", ".webp"};

// Pegasus's asset types (str_to_type), each with the kit's tag; null for the types the kit
// takes no picture from (bezels, box spines, posters, music...), known so that a name starting
// with one is not taken for a shorter type.
struct asset_type {
    const char* name;
    const char* tag;
};
constexpr asset_type ASSET_TYPES[] = {
    {"boxfront", "boxart"},   {"box_front", "boxart"},      {"boxart2d", "boxart"},    {"boxback", "boxback"},
    {"box_back", "boxback"},  {"boxspine", nullptr},        {"box_spine", nullptr},    {"boxside", nullptr},
    {"box_side", nullptr},    {"boxfull", nullptr},         {"box_full", nullptr},     {"box", nullptr},
    {"cartridge", "cartridge"}, {"disc", "cartridge"},      {"cart", "cartridge"},     {"logo", "logo"},
    {"wheel", "wheel"},       {"marquee", "marquee"},       {"screenmarquee", "marquee"}, {"bezel", nullptr},
    {"border", nullptr},      {"panel", nullptr},           {"cabinetleft", nullptr},  {"cabinet_left", nullptr},
    {"cabinetright", nullptr}, {"cabinet_right", nullptr},  {"tile", nullptr},         {"banner", nullptr},
    {"steam", nullptr},       {"steamgrid", nullptr},       {"grid", nullptr},         {"poster", nullptr},
    {"flyer", nullptr},       {"background", "fanart"},     {"music", nullptr},        {"screenshot", "screenshot"},
    {"screenshots", "screenshot"}, {"video", "video"},      {"videos", "video"},
};

std::string lower(std::string text)
{
    for (char& c : text)
        c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    return text;
}

std::string trim(const std::string& text)
{
    size_t start = text.find_first_not_of(BLANKS);
    return start == std::string::npos ? "" : text.substr(start, text.find_last_not_of(BLANKS) - start + 1);
}

// The kit's tag for a type name: the name itself, else the longest type it starts with. Null
// when the type is none the kit takes, or no type.
const char* tag_of(const std::string& type)
{
    std::string name = lower(type);
    const asset_type* best = nullptr;
    for (const asset_type& known : ASSET_TYPES)
        if (name.rfind(known.name, 0) == 0 && (!best || strlen(known.name) > strlen(best->name)))
            best = &known;
    return best ? best->tag : nullptr;
}

bool metadata_file(const std::string& name)
{
    auto ends_with = [&](const std::string& tail) {
        return name.size() >= tail.size() && name.compare(name.size() - tail.size(), tail.size(), tail) == 0;
    };
    return name == "metadata.pegasus.txt" || name == "metadata.txt" || ends_with(".metadata.pegasus.txt") ||
           ends_with(".metadata.txt");
}

// The metadata files of a game folder, sorted.
std::vector<fs::path> metadata_files(const fs::path& folder)
{
    std::vector<fs::path> found;
    std::error_code error;
    for (const fs::directory_entry& entry : fs::directory_iterator(folder, error))
        if (metadata_file(entry.path().filename().string()) && entry.is_regular_file(error))
            found.push_back(entry.path());
    std::sort(found.begin(), found.end());
    return found;
}

// The game folders for TOP: a metadata file's folder, TOP when it holds one, else those of its
// folders that do (a folder of systems, each a game folder of its own).
std::vector<fs::path> game_folders(const fs::path& top)
{
    if (metadata_file(top.filename().string()))
        return {top.parent_path()};
    if (!metadata_files(top).empty())
        return {top};
    std::vector<fs::path> folders = subfolders(top);
    std::erase_if(folders, [](const fs::path& folder) { return metadata_files(folder).empty(); });
    return folders;
}

bool recognises(const fs::path& top)
{
    return !game_folders(top).empty();
}

struct entry {
    size_t line;
    std::string key;  // lower case
    std::vector<std::string> values;
};

// The entries of a metadata file; returns the problems reported.
int read_entries(const fs::path& file, std::vector<entry>& entries)
{
    std::ifstream in(file);
    if (!in) {
        fprintf(stderr, "tavimoro-media: %s: cannot be opened; its games are left out\n", file.c_str());
        return 1;
    }
    int problems = 0;
    auto problem = [&](size_t line, const char* what) {
        fprintf(stderr, "tavimoro-media: %s:%zu: %s\n", file.c_str(), line, what);
        problems++;
    };
    auto close = [&] {
        if (!entries.empty() && entries.back().values.empty()) {
            problem(entries.back().line, "a key without a value is passed over");
            entries.pop_back();
        }
    };
    bool open = false;  // a value may continue
    std::string text;
    for (size_t number = 1; std::getline(in, text); number++) {
        if (number == 1 && text.rfind(UTF8_BOM, 0) == 0)
            text.erase(0, strlen(UTF8_BOM));
        std::string line = trim(text);
        if (text[0] == '#')
            continue;
        if (!line.empty() && text.find_first_of(BLANKS) == 0) {
            if (open)
                entries.back().values.push_back(line == "." ? "" : line);
            else
                problem(number, "a continued line without a key is passed over");
            continue;
        }
        close();
        open = false;
        if (line.empty())
            continue;
        size_t colon = line.find(':');
        if (colon == std::string::npos || colon == 0) {
            problem(number, "a line without a key is passed over");
            continue;
        }
        entries.push_back({number, lower(trim(line.substr(0, colon))), {}});
        if (std::string value = trim(line.substr(colon + 1)); !value.empty())
            entries.back().values.push_back(value);
        open = true;
    }
    close();
    return problems;
}

struct collection {
    fs::path source;  // the metadata file naming it
    std::string name, shortname;
    std::vector<fs::path> folders;
    std::vector<std::string> extensions, files, ignored_extensions, ignored_files;  // extensions "zip"
};

struct listed_game {
    fs::path source;
    size_t collection;  // the last collection its file named before it, or NONE
    std::string title;
    std::vector<fs::path> files;
    std::vector<std::pair<const char*, fs::path>> assets;  // tag, file
};
constexpr size_t NONE = SIZE_MAX;

// What the metadata files of one game folder say.
struct game_folder {
    fs::path folder;
    std::vector<collection> collections;
    std::vector<listed_game> games;
};

void apply_collection_key(collection& into, const fs::path& folder, const entry& item)
{
    bool ignore = item.key.rfind("ignore-", 0) == 0;
    std::string key = ignore ? item.key.substr(strlen("ignore-")) : item.key;
    if (key == "shortname" && !ignore) {
        into.shortname = item.values[0];
    } else if (key == "extension" || key == "extensions") {
        std::string list = lower(item.values[0]);
        for (size_t start = 0, comma; start <= list.size(); start = comma + 1) {
            comma = std::min(list.find(',', start), list.size());
            if (std::string extension = trim(list.substr(start, comma - start)); !extension.empty())
                (ignore ? into.ignored_extensions : into.extensions).push_back(extension);
        }
    } else if (key == "file" || key == "files") {
        std::vector<std::string>& files = ignore ? into.ignored_files : into.files;
        files.insert(files.end(), item.values.begin(), item.values.end());
    } else if ((key == "directory" || key == "directories") && !ignore) {
        for (const std::string& value : item.values)
            into.folders.push_back((folder / value).lexically_normal());
    }
}

// Reads one metadata file of the game folder into it.
int read_metadata(const fs::path& file, game_folder& into)
{
    std::vector<entry> entries;
    int problems = read_entries(file, entries);
    const fs::path& folder = into.folder;
    size_t first = into.collections.size();  // the collections this file names
    listed_game* game = nullptr;
    for (const entry& item : entries) {
        if (item.key == "collection") {
            into.collections.push_back({file, item.values[0], "", {folder}, {}, {}, {}, {}});
            game = nullptr;
        } else if (item.key == "game") {
            size_t last = into.collections.size() > first ? into.collections.size() - 1 : NONE;
            into.games.push_back({file, last, item.values[0], {}, {}});
            game = &into.games.back();
        } else if (item.key.rfind("assets.", 0) == 0 || item.key.rfind("asset.", 0) == 0) {
            // A collection's assets are its own, for the theme: no game's.
            const char* tag = tag_of(item.key.substr(item.key.find('.') + 1));
            for (const std::string& value : item.values)
                if (game && tag && value.rfind("http://", 0) != 0 && value.rfind("https://", 0) != 0)
                    game->assets.emplace_back(tag, (folder / value).lexically_normal());
        } else if (game && (item.key == "file" || item.key == "files")) {
            for (const std::string& value : item.values)
                game->files.push_back((folder / value).lexically_normal());
        } else if (!game && into.collections.size() > first) {
            apply_collection_key(into.collections.back(), folder, item);
        }
    }
    return problems;
}

// The files a collection takes: those it lists, then those with one of its extensions in its
// folders (the folder's own, then its subfolders' but media/'s, each sorted), less those it
// ignores.
std::vector<fs::path> collection_files(const collection& from)
{
    std::vector<fs::path> found, ignored;
    std::error_code error;
    auto listed = [&](const std::vector<std::string>& names, std::vector<fs::path>& into) {
        for (const fs::path& folder : from.folders)
            for (const std::string& name : names)
                if (fs::path file = (folder / name).lexically_normal(); fs::is_regular_file(file, error))
                    into.push_back(file);
    };
    listed(from.files, found);
    listed(from.ignored_files, ignored);
    auto in = [](const auto& list, const auto& item) {
        return std::find(list.begin(), list.end(), item) != list.end();
    };
    auto take = [&](std::vector<fs::path> files) {
        std::sort(files.begin(), files.end());
        for (const fs::path& file : files) {
            std::string extension = lower(file.extension().string()).substr(file.has_extension() ? 1 : 0);
            if (file.filename().string()[0] != '.' && in(from.extensions, extension) &&
                !in(from.ignored_extensions, extension))
                found.push_back(file.lexically_normal());
        }
    };
    for (const fs::path& folder : from.folders) {
        std::vector<fs::path> own, below;
        for (const fs::directory_entry& item : fs::directory_iterator(folder, error))
            if (item.is_regular_file(error))
                own.push_back(item.path());
        for (const fs::path& sub : subfolders(folder))
            if (sub.filename() != MEDIA_FOLDER)
                for (auto it = fs::recursive_directory_iterator(sub, error); it != fs::recursive_directory_iterator();
                     it.increment(error))
                    if (it->is_regular_file(error))
                        below.push_back(it->path());
        take(own);
        take(below);
    }
    std::erase_if(found, [&](const fs::path& file) { return in(ignored, file); });
    return found;
}

// The assets in one media/<game>/ folder, by name.
void add_assets_in(scraped_game& game, const fs::path& folder)
{
    std::error_code error;
    std::vector<fs::path> files;
    for (const fs::directory_entry& item : fs::directory_iterator(folder, error))
        if (item.is_regular_file(error))
            files.push_back(item.path());
    std::sort(files.begin(), files.end());
    for (const fs::path& file : files) {
        const char* tag = tag_of(file.stem().string());
        std::string extension = lower(file.extension().string());
        auto allowed = [&](const auto& extensions) {
            return std::find(std::begin(extensions), std::end(extensions), extension) != std::end(extensions);
        };
        if (tag && (strcmp(tag, VIDEO_TAG) == 0 ? allowed(VIDEO_EXTENSIONS) : allowed(PICTURE_EXTENSIONS)))
            add_candidate(game, tag, file);
    }
}

// What media/ holds for a game: <base>/media/<the file's folder under base>/<the file's name
// without extension, or the game's title>/, for each base (the game folder, the collections'
// folders) a file of the game lies under.
void add_folder_media(scraped_game& game, const std::vector<fs::path>& files, const std::vector<fs::path>& bases)
{
    for (const fs::path& file : files)
        for (const fs::path& base : bases) {
            fs::path under = file.parent_path().lexically_relative(base);
            if (under.empty() || *under.begin() == "..")
                continue;
            for (const std::string& name : {file.stem().string(), game.name})
                if (!name.empty())
                    add_assets_in(game, (base / MEDIA_FOLDER / under / name).lexically_normal());
        }
}

std::string system_of(const game_folder& from, size_t index)
{
    if (index == NONE)
        return from.folder.filename().string();
    const collection& found = from.collections[index];
    return found.shortname.empty() ? found.name : found.shortname;
}

// The games of a game folder: those its files list, then the other files its collections take.
void add_games(const game_folder& from, std::vector<scraped_game>& games)
{
    std::vector<fs::path> bases = {from.folder};
    for (const collection& each : from.collections)
        for (const fs::path& folder : each.folders)
            if (std::find(bases.begin(), bases.end(), folder) == bases.end())
                bases.push_back(folder);
    std::set<fs::path> taken;  // a file belongs to one game, the first naming it
    std::error_code error;
    for (const listed_game& listed : from.games) {
        std::vector<fs::path> files;
        for (const fs::path& file : listed.files)
            if (fs::is_regular_file(file, error) && taken.insert(file).second)
                files.push_back(file);
        if (files.empty())
            continue;
        scraped_game game{system_of(from, listed.collection), listed.source.string(), files[0].string(),
                          listed.title, false, {}};
        for (const auto& [tag, file] : listed.assets)
            add_candidate(game, tag, file);
        add_folder_media(game, files, bases);
        games.push_back(std::move(game));
    }
    for (size_t index = 0; index < from.collections.size(); index++)
        for (const fs::path& file : collection_files(from.collections[index]))
            if (taken.insert(file).second) {
                scraped_game game{system_of(from, index), from.collections[index].source.string(), file.string(),
                                  "", false, {}};
                add_folder_media(game, {file}, bases);
                games.push_back(std::move(game));
            }
}

int read(const fs::path& top, std::vector<scraped_game>& games)
{
    int problems = 0;
    for (const fs::path& folder : game_folders(top)) {
        game_folder read_from{folder, {}, {}};
        bool one_file = metadata_file(top.filename().string());
        for (const fs::path& file : one_file ? std::vector<fs::path>{top} : metadata_files(folder))
            problems += read_metadata(file, read_from);
        add_games(read_from, games);
    }
    return problems;
}

} // namespace

extern const library_layout PEGASUS_LAYOUT = {
    "Pegasus metadata", "metadata.pegasus.txt (or metadata.txt) in a game folder, or in each of its folders",
    recognises, read};
