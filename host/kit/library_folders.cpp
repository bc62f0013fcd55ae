// ROM folders without a list: every ROM file is a game known by its ROM name, with the media that
// the scrapers' folders hold for it.
#include "host/kit/library.h"

#include <cstring>
#include <system_error>

namespace fs = std::filesystem;

namespace {

struct named_type {
    const char* name;  // the tool's folder name or file-name suffix
    const char* tag;
};

// <root>/<type>/ folder names as the tools write them, each mapped to the kit's tag; for one tag,
// the better first.
//   ES-DE 3.1.1 (es-app/src/FileData.cpp, getMediafilePath's callers), and Skyscraper's esde output.
//   Skyscraper 3.20.4, EmulationStation output (src/emulationstation.cpp, get*Folder): covers,
//   screenshots, wheels, marquees, textures, videos, fanart, backcovers.
//   Skraper (closed source; the names it writes into media/, as its users' gamelists show them).
constexpr named_type TYPE_FOLDERS[] = {
    {"marquees", "marquee"},         {"marquee", "marquee"},          {"screenmarquee", "marquee"},
    {"screenmarqueesmall", "marquee"}, {"wheels", "wheel"},           {"wheel", "wheel"},
    {"wheelcarbon", "wheel"},        {"wheelsteel", "wheel"},         {"screenshots", "screenshot"},
    {"screenshot", "screenshot"},    {"images", "image"},             {"titlescreens", "titleshot"},
    {"screenshottitle", "titleshot"}, {"miximages", "mix"},           {"mix", "mix"},
    {"covers", "boxart"},            {"box2dfront", "boxart"},        {"backcovers", "boxback"},
    {"box2dback", "boxback"},        {"3dboxes", "box3d"},            {"box3d", "box3d"},
    {"physicalmedia", "cartridge"},  {"textures", "cartridge"},       {"support", "cartridge"},
    {"fanart", "fanart"},            {"videos", "video"},             {"video", "video"},
};

// Batocera's scraper names a game's media <rom>-<suffix>.<ext> in images/ (videos/ for the video)
// beside the ROMs (batocera-emulationstation, es-app/src/scrapers/Scraper.cpp, getSaveAsPath);
// Skyscraper's batocera output uses the same suffixes (src/batocera.h).
constexpr named_type BATOCERA_SUFFIXES[] = {
    {"marquee", "marquee"}, {"wheel", "wheel"},     {"image", "image"},         {"titleshot", "titleshot"},
    {"thumb", "thumbnail"}, {"box", "boxart"},      {"boxback", "boxback"},     {"cartridge", "cartridge"},
    {"fanart", "fanart"},   {"video", "video"},
};

// The extensions ES-DE looks for, in its order (es-app/src/FileData.h, sImageExtensions and
// sVideoExtensions); the scrapers write these too.
constexpr const char* PICTURE_EXTENSIONS[] = {".png", ".jpg"};
constexpr const char* VIDEO_EXTENSIONS[] = {".mp4", ".mkv", ".avi", ".wmv", ".mov"};

// Media folders beside the ROMs: Skyscraper's default (media, or .media with mediaFolderHidden)
// and Skraper's.
constexpr const char* BESIDE_ROMS[] = {"media", ".media"};

// The first of `base` + each extension of the tag's kind that exists, as the frontends take it.
void add_first_existing(scraped_game& game, const char* tag, const fs::path& base)
{
    auto probe = [&](const auto& extensions) {
        std::error_code error;
        for (const char* extension : extensions) {
            fs::path file = base;
            file += extension;
            if (fs::is_regular_file(file, error)) {
                add_candidate(game, tag, file);
                return;
            }
        }
    };
    if (strcmp(tag, VIDEO_TAG) == 0)
        probe(VIDEO_EXTENSIONS);
    else
        probe(PICTURE_EXTENSIONS);
}

// Whether `folder` itself holds a ROM file, beside any subfolders.
bool holds_roms(const fs::path& folder, const std::vector<std::string>& extensions)
{
    std::error_code error;
    for (const fs::directory_entry& entry : fs::directory_iterator(folder, error))
        if (entry.is_regular_file(error) && rom_file(entry.path(), extensions))
            return true;
    return false;
}

bool recognises(const fs::path& top)
{
    std::error_code error;
    return fs::is_directory(top, error);
}

// A folder of ROMs, or a folder of systems each holding ROMs.
int read(const fs::path& top, std::vector<scraped_game>& games)
{
    std::vector<std::string> extensions = system_extensions(top.filename().string());
    if (holds_roms(top, extensions) || subfolders(top).empty()) {
        read_system_folder(top, extensions, games);
        return 0;
    }
    for (const fs::path& system : subfolders(top))
        read_system_folder(system, system_extensions(system.filename().string()), games);
    return 0;
}

} // namespace

system_media::system_media(const fs::path& rom_folder, const std::vector<fs::path>& roots) : rom_folder_(rom_folder)
{
    std::vector<fs::path> all = roots;
    for (const char* beside : BESIDE_ROMS)
        all.push_back(rom_folder / beside);
    std::error_code error;
    for (const fs::path& root : all)
        for (const named_type& type : TYPE_FOLDERS)
            if (fs::is_directory(root / type.name, error))
                type_folders_.emplace_back(root / type.name, type.tag);
    batocera_ = fs::is_directory(rom_folder / "images", error) || fs::is_directory(rom_folder / "videos", error);
}

void system_media::add_to(scraped_game& game) const
{
    // ES-DE names a folder taken as one game by its whole name (Utils::FileSystem::getStem keeps
    // a directory's "extension"), a file by its name without the extension.
    fs::path rom(game.rom);
    std::error_code error;
    std::string name = fs::is_directory(rom, error) ? rom.filename().string() : rom.stem().string();
    fs::path under = rom.parent_path().lexically_relative(rom_folder_);
    if (under.empty() || *under.begin() == "..")
        under = ".";
    fs::path relative = (under / name).lexically_normal();
    for (const auto& [folder, tag] : type_folders_)
        add_first_existing(game, tag, folder / relative);
    if (!batocera_)
        return;
    for (const named_type& suffix : BATOCERA_SUFFIXES) {
        const char* folder = strcmp(suffix.tag, VIDEO_TAG) == 0 ? "videos" : "images";
        add_first_existing(game, suffix.tag, rom_folder_ / folder / (name + "-" + suffix.name));
    }
}

void read_system_folder(const fs::path& folder, const std::vector<std::string>& extensions,
                        std::vector<scraped_game>& games, const std::vector<fs::path>& media_roots,
                        const std::string& system)
{
    system_media media(folder, media_roots);
    for (const fs::path& rom : rom_files(folder, extensions)) {
        std::string name = system.empty() ? folder.filename().string() : system;
        scraped_game game{name, folder.string(), rom.string(), "", false, {}};
        media.add_to(game);
        games.push_back(std::move(game));
    }
}

extern const library_layout MEDIA_FOLDER_LAYOUT = {
    "ROM folders", "ROM files in a folder, or in a folder per system", recognises, read};
