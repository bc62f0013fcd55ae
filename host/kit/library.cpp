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

// The ROM extensions of the systems owners have most. Each row's first names and its
// extensions are those of ES-DE 3.4.1's bundled system list (resources/systems/linux/
// es_systems.xml, lower-cased), which puts every system in <ROM folder>/<name>; the names after
// them are other frontends' folders for the same system, and ".chd" for arcade sets is MAME's.
struct system_row {
    const char* names;       // the folder names frontends give the system, space-separated
    const char* extensions;  // space-separated
};
constexpr system_row SYSTEMS[] = {
    {"arcade mame", ".zip .7z .chd .cmd .gam .lindbergh .neo .desktop .sh"},
    {"fbneo cps cps1 cps2 cps3", ".zip .7z .chd"},
    {"fba", ".zip .7z .iso .chd"},
    {"neogeo", ".zip .7z .neo .chd"},
    {"neogeocd neogeocdjp", ".chd .cue"},
    {"naomi naomi2 naomigd atomiswave", ".zip .7z .bin .dat .elf .lst .chd"},
    {"nes famicom", ".nes .unf .unif .fds .3dsen .zip .7z"},
    {"fds", ".fds .nes .unf .unif .zip .7z"},
    {"snes sfc snesna superfamicom", ".sfc .smc .fig .swc .bs .bsx .bml .dx2 .gd3 .gd7 .mgd .st .bin .zip .7z"},
    {"genesis megadrive megadrivejp",
     ".md .gen .smd .bin .sg .32x .68k .bms .chd .cue .gg .iso .m3u .mdx .sgd .sms .zip .7z"},
    {"mastersystem mark3 gamegear",
     ".sms .gg .bin .68k .bms .chd .col .cue .gen .iso .m3u .md .mdx .rom .sg .sgd .smd .zip .7z"},
    {"sg-1000 sg1000", ".sg .68k .bin .bms .chd .cue .gen .gg .iso .m3u .md .mdx .ri .rom .sgd .smd .sms .zip .7z"},
    {"segacd megacd megacdjp", ".cue .chd .iso .m3u .68k .bin .bms .gen .gg .md .mdx .sg .sgd .smd .sms .zip .7z"},
    {"sega32x sega32xjp sega32xna", ".32x .68k .bin .chd .cue .gen .iso .m3u .md .smd .sms .zip .7z"},
    {"saturn saturnjp", ".cue .chd .iso .m3u .ccd .bin .mds .toc .zip .7z"},
    {"dreamcast", ".cdi .gdi .chd .m3u .cue .dat .elf .iso .lst .zip .7z"},
    {"gb gbc", ".gb .gbc .bs .cgb .dmg .gbx .sgb .sfc .smc .zip .7z"},
    {"gba", ".gba .agb .bin .cgb .dmg .gb .gbc .gbx .sgb .zip .7z"},
    {"n64", ".n64 .z64 .v64 .bin .d64 .ndd .u1 .appimage .desktop .sh .zip .7z"},
    {"nds", ".nds .app .bin .zip .7z"},
    {"n3ds 3ds", ".3ds .3dsx .app .axf .cci .cxi .desktop .elf .z3dsx .zcci .zcxi .zip .7z"},
    {"gc triforce wii gamecube", ".iso .ciso .dff .dol .elf .gcm .gcz .json .m3u .rvz .tgc .wad .wbfs .wia .zip .7z"},
    {"switch", ".nca .nro .nso .nsp .xci"},
    {"pcengine tg16", ".pce .cue .ccd .chd .img .iso .m3u .rom .sgx .toc .zip .7z"},
    {"pcenginecd tg-cd", ".pce .cue .ccd .chd .img .iso .m3u .sgx .toc .zip .7z"},
    {"supergrafx", ".pce .sgx .ccd .chd .cue .rom .zip .7z"},
    {"atari2600", ".a26 .bin .zip .7z"},
    {"atari5200 atari800 atarixe", ".a52 .atr .atx .bin .car .cas .cdm .com .rom .xex .xfd .zip .7z"},
    {"atari7800", ".a78 .bin .zip .7z"},
    {"atarilynx lynx", ".lnx .lyx .o .zip .7z"},
    {"atarijaguar jaguar", ".j64 .jag .abs .bigpimg .bin .cdi .cof .cue .prg .rom .zip .7z"},
    {"atarist", ".st .msa .stx .dim .ipf .m3u .zip .7z"},
    {"ngp ngpc", ".ngp .ngc .ngpc .npc .zip .7z"},
    {"wonderswan", ".ws .pc2 .zip .7z"},
    {"wonderswancolor wswanc", ".wsc .ws .pc2 .zip .7z"},
    {"psx ps1",
     ".cue .bin .chd .pbp .m3u .iso .img .ccd .toc .ecm .cbn .exe .mdf .mds .minipsf .psexe .psf .z .znx .zip .7z"},
    {"ps2", ".iso .chd .cso .bin .cue .m3u .ciso .desktop .dump .elf .gz .mdf .img .isz .ngr .nrg .zso"},
    {"ps3", ".ps3 .iso .ps3dir .desktop"},
    {"psp", ".iso .cso .pbp .chd .elf .prx .zip .7z"},
    {"msx msx1 msx2 msxturbor",
     ".rom .dsk .cas .col .di1 .di2 .dmk .fd1 .fd2 .m3u .mx1 .mx2 .ogv .ri .sc .sg .wav .xsa .zip .7z"},
    {"colecovision coleco", ".col .bin .cas .cv .dsk .m3u .mx1 .mx2 .myv .ri .rom .sc .sg .zip .7z"},
    {"intellivision", ".int .bin .rom .zip .7z"},
    {"vectrex", ".vec .bin .gam .vc .zip .7z"},
    {"virtualboy", ".vb .vboy .bin .zip .7z"},
    {"c64 vic20 plus4", ".d64 .t64 .prg .crt .tap .bin .cmd .d2m .d4m .d6z .d71 .d7z .d80 .d81 .d82 .d8z .g41 .g4z "
                        ".g64 .g6z .gz .lnx .m3u .nbz .nib .p00 .vfl .vsf .x64 .x6z .zip .7z"},
    {"amiga amiga600 amiga1200 amigacd32 cdtv", ".adf .adz .ccd .chd .cue .dms .fdi .hdf .hdz .ipf .iso .lha .m3u .mds "
                                                 ".nrg .rp9 .uae .zip .7z"},
    {"amstradcpc", ".dsk .cdt .cpr .kcr .m3u .sna .tap .tar .voc .zip .7z"},
    {"zxspectrum", ".tzx .tap .z80 .dsk .gz .img .mgt .rzx .scl .sh .sna .szx .trd .udi .zip .7z"},
    {"dos pc", ".bat .com .conf .cue .dosz .exe .img .iso .zip .7z"},
    {"scummvm", ".scummvm .svm"},
    {"3do", ".iso .chd .cue .bin .zip .7z"},
    {"pokemini", ".min .zip .7z"},
    {"gameandwatch lcdgames", ".mgw .zip .7z"},
    {"odyssey2 videopac", ".bin .zip .7z"},
    {"xbox", ".iso .xiso"},
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
    static const std::vector<const library_layout*> layouts = {
        &ESDE_LAYOUT, &RETROARCH_LAYOUT, &ATTRACT_LAYOUT, &PEGASUS_LAYOUT, &GAMELIST_LAYOUT, &MEDIA_FOLDER_LAYOUT};
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
