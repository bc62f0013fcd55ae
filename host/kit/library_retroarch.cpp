// RetroArch playlists (.lpl) and the thumbnails RetroArch shows for them, read by RetroArch's own
// rules. Followed: libretro/RetroArch master of 2026 (the playlist.c that parses in resumable
// steps, after issue #19427; the thumbnail name fallbacks date from PR #16040, RetroArch 1.17,
// and the other picture types from PR #16806), and in it
//  - playlist.c: a file whose first printable ASCII character is not '{' is the old format, six
//    lines an entry (path, label, core path, core name, CRC, database name) and a shorter group
//    at the end as metadata; otherwise JSON with an "items" array (comments and a UTF-8 BOM
//    allowed), and a top-level "base_content_directory". On loading, paths are taken as written
//    (the kit resolves "~/" and relative ones as it does in every list), and when
//    playlist_portable_paths is on, a path under the playlist's base content directory is moved
//    under the configured one (rgui_browser_directory). playlist_get_db_name: an entry without
//    db_name takes the playlist's file name, except in the history and favourites playlists.
//  - gfx/gfx_thumbnail_path.c (gfx_thumbnail_set_content_playlist, gfx_thumbnail_update_path,
//    gfx_thumbnail_fill_content_img): the thumbnail is <thumbnails_directory>/<database>/
//    <Named_Boxarts|Named_Snaps|Named_Titles|Named_Logos>/<name>.png, the database being
//    db_name (the first of a '|' list) less its extension, "MAME" for any name starting
//    "MAME", and for history and favourites without one the content's folder name. Names are
//    tried in turn: the content file's name without its extension (archive aware), the label
//    (or that file name when the label is empty), and the label cut before its first " (".
//    In each, &*/:`"<>?\| become '_'. With playlist_allow_non_png (off by
//    default) .jpg, .jpeg, .bmp and .tga are tried after each .png.
//  - libretro-common file/file_path.c: an archive path is cut at the first '#' after ".zip",
//    ".apk" or ".7z"; path_basename takes what follows that '#'.
//  - configuration.c: thumbnails_directory, playlist_directory, playlist_allow_non_png,
//    playlist_portable_paths, rgui_browser_directory; "default" leaves a directory unset, and
//    a leading '~' is the home folder and ':' RetroArch's own folder.
// RetroArch writes its history and favourites as playlists too; they list games the collection
// playlists hold already, so a folder's are passed over (name one to read it). A compressed
// playlist (playlist_compression, RZIP) is reported and left out.
#include "host/kit/library.h"

#include <cjson/cJSON.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <system_error>

namespace fs = std::filesystem;

namespace {

constexpr const char* CONFIG_FILE = "retroarch.cfg";
constexpr const char* HISTORY = "content_history.lpl";
constexpr const char* FAVOURITES = "content_favorites.lpl";
// The playlists RetroArch keeps of what was run lately: none a collection of games.
constexpr const char* RECENT[] = {HISTORY, FAVOURITES, "content_music_history.lpl", "content_video_history.lpl",
                                  "content_image_history.lpl"};

// Thumbnail folder -> media tag.
constexpr std::pair<const char*, const char*> THUMBNAIL_TYPES[] = {
    {"Named_Boxarts", "boxart"}, {"Named_Snaps", "screenshot"}, {"Named_Titles", "titleshot"}, {"Named_Logos", "logo"}};
constexpr const char* NON_PNG[] = {".jpg", ".jpeg", ".bmp", ".tga"};

struct setup {
    fs::path playlists;               // the folder of .lpl files
    fs::path thumbnails;              // thumbnails_directory
    fs::path home;                    // for '~'
    bool allow_non_png = false;       // playlist_allow_non_png
    std::string base_content_directory;  // when playlist_portable_paths is on
};

struct entry {
    std::string path, label, db_name;
};

bool is_file(const fs::path& path)
{
    std::error_code error;
    return fs::is_regular_file(path, error);
}

bool is_playlist(const fs::path& path)
{
    return path.extension() == ".lpl" && is_file(path);
}

std::vector<fs::path> playlists_in(const fs::path& folder)
{
    std::vector<fs::path> found;
    std::error_code error;
    for (const fs::directory_entry& item : fs::directory_iterator(folder, error))
        if (item.path().filename().string()[0] != '.' && is_playlist(item.path()))
            found.push_back(item.path());
    std::sort(found.begin(), found.end());
    return found;
}

std::string trim(const std::string& text)
{
    size_t first = text.find_first_not_of(" \t\r\n");
    if (first == std::string::npos)
        return "";
    return text.substr(first, text.find_last_not_of(" \t\r\n") - first + 1);
}

// retroarch.cfg: `key = "value"` lines; '#' starts a comment line.
std::map<std::string, std::string> read_config(const fs::path& file)
{
    std::map<std::string, std::string> values;
    std::ifstream in(file);
    std::string line;
    while (std::getline(in, line)) {
        line = trim(line);
        size_t equals = line.find('=');
        if (line.empty() || line[0] == '#' || equals == std::string::npos)
            continue;
        std::string value = trim(line.substr(equals + 1));
        if (!value.empty() && value[0] == '"') {
            size_t close = value.find('"', 1);
            value = value.substr(1, close == std::string::npos ? std::string::npos : close - 1);
        }
        values[trim(line.substr(0, equals))] = value;
    }
    return values;
}

// A directory setting: "" when unset or "default"; '~' is the home folder and ':' RetroArch's
// own folder, which for the kit is the config folder (a portable install keeps its retroarch.cfg
// beside the program).
fs::path config_directory(const std::map<std::string, std::string>& config, const char* key, const fs::path& folder,
                          const fs::path& home)
{
    auto found = config.find(key);
    if (found == config.end() || found->second.empty() || found->second == "default")
        return {};
    const std::string& text = found->second;
    fs::path path;
    if (text[0] == '~' || text[0] == ':') {
        std::string rest = text.substr(1);
        while (!rest.empty() && (rest[0] == '/' || rest[0] == '\\'))
            rest.erase(0, 1);
        path = (text[0] == '~' ? home : folder) / rest;
    } else {
        path = fs::path(text).is_absolute() ? fs::path(text) : folder / text;
    }
    return path.lexically_normal();
}

bool config_true(const std::map<std::string, std::string>& config, const char* key)
{
    auto found = config.find(key);
    return found != config.end() && found->second == "true";
}

// The playlists, thumbnails and settings for a config folder (or, with no retroarch.cfg in it,
// a folder laid out as one: playlists/ and thumbnails/ inside).
setup setup_for(const fs::path& config_folder, const fs::path& playlists)
{
    setup found;
    fs::path config_file = config_folder / CONFIG_FILE;
    found.home = owner_home(is_file(config_file) ? config_file : config_folder);
    std::map<std::string, std::string> config;
    if (is_file(config_file))
        config = read_config(config_file);
    found.playlists = playlists;
    if (found.playlists.empty())
        found.playlists = config_directory(config, "playlist_directory", config_folder, found.home);
    if (found.playlists.empty())
        found.playlists = config_folder / "playlists";
    found.thumbnails = config_directory(config, "thumbnails_directory", config_folder, found.home);
    if (found.thumbnails.empty())
        found.thumbnails = config_folder / "thumbnails";
    found.allow_non_png = config_true(config, "playlist_allow_non_png");
    if (config_true(config, "playlist_portable_paths"))
        found.base_content_directory = config_directory(config, "rgui_browser_directory", config_folder, found.home)
                                           .string();
    return found;
}

// The '#' that separates an archive from the file inside it: the first one right after ".zip",
// ".apk" or ".7z", in any case.
size_t archive_delimiter(const std::string& path)
{
    auto lower_tail = [&](size_t end, const char* tail) {
        size_t length = std::char_traits<char>::length(tail);
        if (end < length)
            return false;
        for (size_t i = 0; i < length; i++)
            if (tolower(static_cast<unsigned char>(path[end - length + i])) != tail[i])
                return false;
        return true;
    };
    for (size_t hash = path.find('#'); hash != std::string::npos; hash = path.find('#', hash + 1))
        if ((hash > 4 && (lower_tail(hash, ".zip") || lower_tail(hash, ".apk"))) ||
            (hash > 3 && lower_tail(hash, ".7z")))
            return hash;
    return std::string::npos;
}

size_t last_slash(const std::string& path)
{
    return path.find_last_of("/\\");
}

// path_basename: after the archive's '#' when there is one, else after the last slash.
std::string base_name(const std::string& path)
{
    size_t hash = archive_delimiter(path);
    if (hash != std::string::npos)
        return path.substr(hash + 1);
    size_t slash = last_slash(path);
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// fill_pathname(.., ""): less the last extension of the part after the last slash.
std::string without_extension(const std::string& path)
{
    size_t slash = last_slash(path);
    size_t dot = path.rfind('.');
    if (dot != std::string::npos && (slash == std::string::npos || dot > slash))
        return path.substr(0, dot);
    return path;
}

// A thumbnail's file name: the characters that are not cross-platform or break the No-Intro
// naming rules become '_'. `shorten` cuts before the first " (" past the start, and gives "" when
// there is none (the name would be the label's own).
std::string thumbnail_name(const std::string& text, bool shorten)
{
    std::string name = text;
    if (shorten) {
        size_t bracket = text.find(" (");
        if (bracket == std::string::npos || bracket == 0)
            return "";
        name.resize(bracket);
    }
    for (char& c : name)
        if (std::string_view("&*/:`\"<>?\\|").find(c) != std::string_view::npos)
            c = '_';
    return name;
}

// The folder under thumbnails_directory the entry's thumbnails are in ("" when none).
std::string thumbnail_database(const entry& item, const fs::path& playlist)
{
    std::string file = playlist.filename().string();
    bool recent = file == HISTORY || file == FAVOURITES;
    std::string database = item.db_name.empty() && !recent ? file : item.db_name;
    if (database.rfind("MAME", 0) == 0)
        return "MAME";
    if (!database.empty())
        return without_extension(database.substr(0, database.find('|')));
    // History and favourites without a database: the name of the folder the content is in.
    size_t slash = last_slash(item.path);
    if (slash == std::string::npos || slash == 0)
        return "";
    std::string folder = item.path.substr(0, slash);
    size_t parent = last_slash(folder);
    return parent == std::string::npos ? folder : folder.substr(parent + 1);
}

void add_thumbnails(scraped_game& game, const entry& item, const std::string& label, const fs::path& playlist,
                    const setup& where)
{
    std::string database = thumbnail_database(item, playlist);
    if (database.empty())
        return;
    std::string standard = thumbnail_name(label, false);
    std::string full = thumbnail_name(without_extension(base_name(item.path)), false);
    std::vector<std::string> names;
    if (full != standard)
        names.push_back(full);
    names.push_back(standard);
    if (std::string shortened = thumbnail_name(label, true); !shortened.empty())
        names.push_back(shortened);
    std::vector<std::string> extensions{".png"};
    if (where.allow_non_png)
        extensions.insert(extensions.end(), std::begin(NON_PNG), std::end(NON_PNG));
    for (const auto& [type, tag] : THUMBNAIL_TYPES) {
        fs::path folder = where.thumbnails / database / type;
        for (const std::string& name : names)
            for (const std::string& extension : extensions)
                if (fs::path file = folder / (name + extension); is_file(file))
                    add_candidate(game, tag, file);
    }
}

std::string json_string(const cJSON* object, const char* key)
{
    const cJSON* value = cJSON_GetObjectItemCaseSensitive(object, key);
    return cJSON_IsString(value) && value->valuestring ? value->valuestring : "";
}

bool read_json(const std::string& text, std::vector<entry>& entries, std::string& base, std::string& error)
{
    std::string minified = text.compare(0, 3, "\xEF\xBB\xBF") == 0 ? text.substr(3) : text;
    cJSON_Minify(minified.data());  // drops the comments RetroArch's parser allows
    std::unique_ptr<cJSON, decltype(&cJSON_Delete)> root(cJSON_Parse(minified.c_str()), cJSON_Delete);
    if (!root || !cJSON_IsObject(root.get())) {
        error = "not valid JSON";
        return false;
    }
    base = json_string(root.get(), "base_content_directory");
    const cJSON* items = cJSON_GetObjectItemCaseSensitive(root.get(), "items");
    if (!cJSON_IsArray(items))
        return true;
    const cJSON* item = nullptr;
    cJSON_ArrayForEach(item, items)
        if (cJSON_IsObject(item))
            entries.push_back({json_string(item, "path"), json_string(item, "label"), json_string(item, "db_name")});
    return true;
}

// The old format: six lines an entry; a shorter group at the end is metadata.
void read_old_format(const std::string& text, std::vector<entry>& entries)
{
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line.substr(0, line.find_first_of("\r\n")));
    for (size_t first = 0; first + 6 <= lines.size(); first += 6)
        entries.push_back({lines[first], lines[first + 1], lines[first + 5]});
}

bool read_entries(const fs::path& file, std::vector<entry>& entries, std::string& base, std::string& error)
{
    std::ifstream in(file, std::ios::binary);
    if (!in) {
        error = "cannot be opened";
        return false;
    }
    std::stringstream buffer;
    buffer << in.rdbuf();
    std::string text = buffer.str();
    if (text.rfind("#RZIPv", 0) == 0) {
        error = "compressed (RetroArch's playlist_compression); turn it off in RetroArch to read it";
        return false;
    }
    auto first = std::find_if(text.begin(), text.end(), [](char c) {
        auto byte = static_cast<unsigned char>(c);
        return byte <= 0x7F && isgraph(byte);
    });
    if (first == text.end())
        return true;
    if (*first != '{') {
        read_old_format(text, entries);
        return true;
    }
    return read_json(text, entries, base, error);
}

int read_playlist(const fs::path& file, const setup& where, std::vector<scraped_game>& games)
{
    std::vector<entry> entries;
    std::string base, error;
    if (!read_entries(file, entries, base, error)) {
        fprintf(stderr, "tavimoro-media: %s: %s; its games are left out\n", file.c_str(), error.c_str());
        return 1;
    }
    std::string system = file.stem().string();
    for (entry& item : entries) {
        if (item.path.empty()) {
            fprintf(stderr, "tavimoro-media: %s: an entry without a path (\"%s\") is left out\n", file.c_str(),
                    item.label.c_str());
            continue;
        }
        // Portable playlists: moved from their base content directory to the configured one.
        if (!where.base_content_directory.empty() && !base.empty() && base != where.base_content_directory &&
            item.path.rfind(base, 0) == 0) {
            std::string rest = item.path.substr(base.size());
            std::replace(rest.begin(), rest.end(), '\\', '/');
            item.path = where.base_content_directory + rest;
        }
        std::string label = item.label.empty() ? without_extension(base_name(item.path)) : item.label;
        std::string rom = item.path.substr(0, archive_delimiter(item.path));
        scraped_game game{system, file.string(), resolve_listed_path(file.parent_path(), where.home, rom), label,
                          false, {}};
        add_thumbnails(game, item, label, file, where);
        games.push_back(std::move(game));
    }
    return 0;
}

bool has_playlists(const fs::path& folder)
{
    return !playlists_in(folder).empty();
}

// A config folder (retroarch.cfg, or playlists/ with .lpl files), a folder of playlists, or one.
bool recognises(const fs::path& top)
{
    if (is_playlist(top))
        return true;
    std::error_code error;
    if (!fs::is_directory(top, error))
        return false;
    return is_file(top / CONFIG_FILE) || has_playlists(top / "playlists") || has_playlists(top);
}

bool recent(const fs::path& playlist)
{
    std::string name = playlist.filename().string();
    return std::any_of(std::begin(RECENT), std::end(RECENT), [&](const char* file) { return name == file; });
}

int read(const fs::path& top, std::vector<scraped_game>& games)
{
    // A playlists folder and a playlist are read with the config folder above them.
    if (is_playlist(top)) {
        setup where = setup_for(top.parent_path().parent_path(), top.parent_path());
        return read_playlist(top, where, games);
    }
    setup where = is_file(top / CONFIG_FILE) || !has_playlists(top) ? setup_for(top, {})
                                                                     : setup_for(top.parent_path(), top);
    int problems = 0;
    for (const fs::path& playlist : playlists_in(where.playlists))
        if (!recent(playlist))
            problems += read_playlist(playlist, where, games);
    return problems;
}

} // namespace

extern const library_layout RETROARCH_LAYOUT = {
    "RetroArch playlists", "playlists/*.lpl in RetroArch's config folder, thumbnails/ beside it", recognises, read};
