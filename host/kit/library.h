// The owner's game library as a frontend or a scraper wrote it. One reader per layout turns it
// into the same list of games; choosing, converting, scanning and the coverage page work on that
// list alone and know no layout.
#pragma once

#include <filesystem>
#include <map>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

struct scraped_game {
    std::string system;    // the system the game belongs to (the ROM folder's name, a playlist, ...)
    std::string source;    // the list it came from, or the ROM folder
    std::string rom;       // the ROM's path (a file, or a folder the frontend takes as one game)
    std::string name;      // the game's name as the frontend shows it ("" when none)
    bool hidden = false;   // the frontend hides it
    // tag -> candidate files, best first (a listed file, then what the layout's folders hold).
    std::map<std::string, std::vector<std::string>> media;
};

// The media tags the kit knows, as `--prefer` names them. The readers map each tool's own names
// onto these.
inline constexpr const char* MEDIA_TAGS[] = {"marquee",  "wheel",  "logo",      "screenshot", "image", "titleshot",
                                             "thumbnail", "mix",   "boxart",    "boxback",    "box3d", "cartridge",
                                             "fanart",    "video"};
inline constexpr const char* VIDEO_TAG = "video";
bool known_media_tag(std::string_view tag);

// A way a library is laid out. `recognises` looks at a few names only; `read` appends the games
// and returns the number of problems it reported on stderr (naming the file), reading on past
// each.
struct library_layout {
    const char* name;       // as owners know it: "ES-DE", "RetroArch playlists", ...
    const char* looks_for;  // what it looks for, said when a library yields nothing
    bool (*recognises)(const std::filesystem::path& top);
    int (*read)(const std::filesystem::path& top, std::vector<scraped_game>& games);
};

// Each reader's layout, defined in its own file.
extern const library_layout ESDE_LAYOUT;
extern const library_layout GAMELIST_LAYOUT;
extern const library_layout MEDIA_FOLDER_LAYOUT;
extern const library_layout RETROARCH_LAYOUT;
extern const library_layout ATTRACT_LAYOUT;
extern const library_layout PEGASUS_LAYOUT;

// The layouts, most particular first: the first that recognises a folder reads it.
const std::vector<const library_layout*>& library_layouts();

struct library_result {
    const library_layout* layout = nullptr;  // null when no layout recognised the input
    int problems = 0;
    size_t hidden_left_out = 0;
};

// Reads INPUT, a file or a folder a layout recognises (a frontend's data folder, a ROM folder, a
// list); a folder holding roms/ (Batocera's /userdata, Recalbox's share, ~/RetroPie) is read as
// roms/. Hidden games are left out unless `hidden`. Games are appended to `games`.
library_result read_library(const std::string& input, bool hidden, std::vector<scraped_game>& games);

// The ROM extensions of `system` (".zip", lower case) where the kit knows them; empty otherwise.
std::vector<std::string> system_extensions(const std::string& system);

// Whether `file` can be a game: its extension is one of `extensions` (lower-cased first) when
// they are known, else it is no picture, video, save, list or document. Hidden files never are.
bool rom_file(const std::filesystem::path& file, const std::vector<std::string>& extensions);

// The ROM files of a system folder and its subfolders, sorted; a subfolder whose name carries a
// ROM extension is one game (the frontends take such a folder as a game).
std::vector<std::filesystem::path> rom_files(const std::filesystem::path& folder,
                                             const std::vector<std::string>& extensions);

// The folders in `folder` that are not hidden, sorted.
std::vector<std::filesystem::path> subfolders(const std::filesystem::path& folder);

// The home folder of the user who owns `path` (its owner's entry in the user database), or
// $HOME when there is none.
std::filesystem::path owner_home(const std::filesystem::path& path);

// Adds `file` as a candidate for `tag`, after the candidates already there, unless it is one.
// Listed files are added whether they exist or not (the build says when one is missing); files
// a layout only might hold are added when they exist.
void add_candidate(scraped_game& game, const std::string& tag, const std::filesystem::path& file);

// A path as a list writes it: "~/x" in the home of the user who owns the library (`home`),
// "./x" and "x" relative to `folder`.
std::string resolve_listed_path(const std::filesystem::path& folder, const std::filesystem::path& home,
                                const std::string& text);

// The media a system keeps in folders apart from any list, found by the ROM's name: under each
// root (a frontend's downloaded_media/<system>, then media/ beside the ROMs, as Skyscraper and
// Skraper write them) <root>/<type>/<the ROM's path under `rom_folder`, without its extension>,
// and Batocera's images/<rom>-<type>.<ext> and videos/<rom>-video.<ext> beside the ROMs.
class system_media {
public:
    system_media(const std::filesystem::path& rom_folder, const std::vector<std::filesystem::path>& roots);
    // Adds what these folders hold for `game` after the candidates it has.
    void add_to(scraped_game& game) const;

private:
    std::filesystem::path rom_folder_;
    std::vector<std::pair<std::filesystem::path, const char*>> type_folders_;  // each there is, with its tag
    bool batocera_ = false;
};

// A system folder without a list: its ROM files as games known by their ROM names, with the
// media system_media finds (`media_roots` first). `extensions` as for rom_files; the system is
// named `system`, or the folder's name.
void read_system_folder(const std::filesystem::path& folder, const std::vector<std::string>& extensions,
                        std::vector<scraped_game>& games, const std::vector<std::filesystem::path>& media_roots = {},
                        const std::string& system = "");

// One EmulationStation gamelist.xml: its games with their listed media, "./" relative to the
// system's ROM folder and "~/" in `home`. Returns the problems reported.
int read_gamelist(const std::filesystem::path& file, const std::filesystem::path& rom_folder,
                  const std::filesystem::path& home, const std::string& system, std::vector<scraped_game>& games);

// A system as an EmulationStation systems list names it (RetroPie's es_systems.cfg, ES-DE's
// es_systems.xml): its ROM folder with "~" and "%ROMPATH%" expanded, its extensions lower-cased,
// its full name as the frontend shows it ("" when the list gives none).
struct listed_system {
    std::string name;
    std::filesystem::path roms;
    std::vector<std::string> extensions;
    std::string full_name = {};
};
int read_systems_list(const std::filesystem::path& file, const std::filesystem::path& home,
                      const std::filesystem::path& rom_directory, std::vector<listed_system>& systems);
