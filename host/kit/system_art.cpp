// Finding a system's art: the frontend a library belongs to, found by walking up from it to the
// folder that frontend keeps its settings in; its active theme, in each place it keeps themes;
// the logo where that theme keeps it; the full names its system lists give.
#include "host/kit/system_art.h"

#include "core/common.h"
#include "host/common/lookup_keys.h"
#include "hostlink/banner_info.h"

#include <pugixml.hpp>

#include <fstream>
#include <set>
#include <system_error>

namespace fs = std::filesystem;

namespace {

// A frontend's folder, told apart by a file in it (or, with none, by its own name), and what
// lies where relative to it. Absolute places are the frontend's own install, there when the kit
// runs on the frontend's machine.
struct frontend_layout {
    const char* subfolder;      // where the folder lies below a home or share, or ""
    const char* marker;         // a file only that frontend's folder holds; null: the folder is `subfolder`
    const char* settings;       // its settings file
    const char* theme_setting;  // the setting that names the active theme
    const char* default_theme;  // the theme it uses when the setting is not there
    std::vector<const char*> theme_places;
    std::vector<const char*> system_lists;
    std::vector<std::string> logos;  // where its themes keep a system's logo
};

// ES-DE 3 (es-core/src/Settings.cpp: Theme; ThemeData.cpp: the user's themes win over the bundled
// ones, /usr/share/es-de/themes). Its bundled themes: linear-es-de keeps system/logos/<system>.svg,
// slate-es-de <system>/images/logo.svg.
const frontend_layout ESDE = {"ES-DE",
                              "settings/es_settings.xml",
                              "settings/es_settings.xml",
                              "Theme",
                              "linear-es-de",
                              {"themes", "/usr/share/es-de/themes"},
                              {"custom_systems/es_systems.xml",
                               "/usr/share/es-de/resources/systems/linux/es_systems.xml"},
                              {"system/logos/%s.svg", "%s/images/logo.svg"}};
// Batocera's /userdata: the theme it ships, es-theme-carbon in /usr/share/emulationstation/themes,
// looks up art/logos/<system>.png, then .svg (views/common.xml); the owner's themes lie in
// /userdata/themes.
const frontend_layout BATOCERA = {"",
                                  "system/batocera.conf",
                                  "system/configs/emulationstation/es_settings.cfg",
                                  "ThemeSet",
                                  "es-theme-carbon",
                                  {"themes", "/usr/share/emulationstation/themes"},
                                  {"/usr/share/emulationstation/es_systems.cfg"},
                                  {"art/logos/%s.png", "art/logos/%s.svg"}};
// Recalbox's share: recalbox.conf names the theme (emulationstation.theme.folder, recalbox-next by
// default), which ships in share_init beside the share; recalbox-next keeps
// data/arts/systems_logos/<system>.png, and before that <system>/data/logo.svg. Its system list
// gives names and full names as attributes.
const frontend_layout RECALBOX = {"",
                                  "system/recalbox.conf",
                                  "system/recalbox.conf",
                                  "emulationstation.theme.folder",
                                  "recalbox-next",
                                  {"themes", "../share_init/system/.emulationstation/themes"},
                                  {"../share_init/system/.emulationstation/systemlist.xml"},
                                  {"data/arts/systems_logos/%s.png", "data/arts/systems_logos/%s.svg",
                                   "%s/data/logo.svg"}};
// RetroPie's ~/.emulationstation (EmulationStation 2: ThemeSet; themes in ~/.emulationstation/themes
// and /etc/emulationstation/themes). Its carbon theme keeps <system>/art/system.svg.
const frontend_layout RETROPIE = {".emulationstation",
                                  nullptr,
                                  "es_settings.cfg",
                                  "ThemeSet",
                                  "carbon",
                                  {"themes", "/etc/emulationstation/themes"},
                                  {"es_systems.cfg", "/etc/emulationstation/es_systems.cfg"},
                                  {"%s/art/system.svg"}};

// Batocera and Recalbox before RetroPie: their shares may hold an .emulationstation of their own.
const frontend_layout* const LAYOUTS[] = {&ESDE, &BATOCERA, &RECALBOX, &RETROPIE};

bool is_folder_of(const frontend_layout& layout, const fs::path& folder)
{
    std::error_code error;
    if (!layout.marker)
        return folder.filename() == layout.subfolder && fs::is_directory(folder, error);
    return fs::is_regular_file(folder / layout.marker, error);
}

// A setting: "key=value" in a .conf file, else <string name="key" value="..."/> anywhere in an
// XML settings file (RetroPie's has no root element, Batocera's has one).
std::string setting(const fs::path& file, const std::string& key)
{
    if (file.extension() == ".conf") {
        std::ifstream in(file);
        for (std::string line; std::getline(in, line);)
            if (line.starts_with(key + "="))
                return line.substr(key.size() + 1);
        return "";
    }
    pugi::xml_document document;
    if (!document.load_file(file.c_str()))
        return "";
    for (pugi::xpath_node found : document.select_nodes("//string"))
        if (key == found.node().attribute("name").as_string())
            return found.node().attribute("value").as_string();
    return "";
}

void read_full_names(const fs::path& list, std::map<std::string, std::string>& full_names)
{
    if (list.filename() == "systemlist.xml") {
        pugi::xml_document document;
        if (document.load_file(list.c_str()))
            for (pugi::xml_node node : document.child("systemList").children("system"))
                full_names.emplace(node.attribute("name").as_string(), node.attribute("fullname").as_string());
        return;
    }
    std::vector<listed_system> systems;
    read_systems_list(list, owner_home(list), "", systems);
    for (const listed_system& system : systems)
        if (!system.full_name.empty())
            full_names.emplace(system.name, system.full_name);
}

// The active theme in each of the frontend's places, and the full names of its lists.
void add_frontend(const frontend_layout& layout, const fs::path& folder, frontend_context& context)
{
    std::string theme = setting(folder / layout.settings, layout.theme_setting);
    if (theme.empty())
        theme = layout.default_theme;
    std::error_code error;
    for (const char* place : layout.theme_places)
        if (fs::path themes = (folder / place / theme).lexically_normal(); fs::is_directory(themes, error))
            context.themes.push_back({themes, theme, layout.logos});
    for (const char* list : layout.system_lists)
        if (fs::path file = (folder / list).lexically_normal(); fs::is_regular_file(file, error))
            read_full_names(file, context.full_names);
}

// The frontend folder at or above `library`, or at a home or share above it; false when none.
bool find_frontend(const fs::path& library, frontend_context& context)
{
    std::error_code error;
    fs::path at = fs::absolute(library, error).lexically_normal();
    if (!error && at.filename().empty())
        at = at.parent_path();
    for (; !error && !at.empty(); at = at.parent_path()) {
        for (const frontend_layout* layout : LAYOUTS)
            for (const fs::path& folder : {at, at / layout->subfolder})
                if (is_folder_of(*layout, folder)) {
                    add_frontend(*layout, folder, context);
                    return true;
                }
        if (at == at.root_path())
            break;
    }
    return false;
}

std::string with_system(const std::string& pattern, const std::string& system)
{
    std::string path = pattern;
    path.replace(path.find("%s"), 2, system);
    return path;
}

} // namespace

frontend_context find_frontends(const std::vector<std::string>& libraries, const std::string& art_folder)
{
    frontend_context context;
    context.art_folder = art_folder;
    for (const std::string& library : libraries)
        find_frontend(library, context);
    return context;
}

media_source system_logo(const std::string& system, const frontend_context& context)
{
    std::error_code error;
    // The owner's folder comes before any theme: an owner who names a folder means its pictures,
    // even where the theme has a logo of its own.
    if (!context.art_folder.empty())
        for (const char* extension : {".png", ".svg", ".jpg"})
            if (fs::path file = context.art_folder / (system + extension); fs::is_regular_file(file, error))
                return {SYSTEM_ART_TAG, file.string()};
    for (const theme_folder& theme : context.themes)
        for (const std::string& logo : theme.logos)
            if (fs::path file = theme.folder / with_system(logo, system); fs::is_regular_file(file, error))
                return {"theme " + theme.name, file.string()};
    return {};
}

std::vector<library_system> library_systems(const std::vector<scraped_game>& games, const frontend_context& context)
{
    std::vector<library_system> systems;
    std::set<std::string> seen;
    std::error_code error;
    for (const scraped_game& game : games) {
        if (game.system.empty() || !seen.insert(game.system).second)
            continue;
        // Named as the board keeps and lower-cases the key it is sent, as a game's file is.
        std::string key = board_lookup_text(system_lookup_key(game.system).c_str());
        str_tolower(key.data());
        auto full = context.full_names.find(game.system);
        library_system system{game.system, key,
                              full != context.full_names.end() && !full->second.empty() ? full->second : game.system,
                              {}, {}, {}};
        if (media_source logo = system_logo(game.system, context); !logo.file.empty())
            system.picture.push_back(logo);
        system.picture.push_back({CARD_TAG, ""});
        if (fs::path video = context.art_folder / (game.system + ".mp4");
            !context.art_folder.empty() && fs::is_regular_file(video, error))
            system.video.push_back({SYSTEM_ART_TAG, video.string()});
        systems.push_back(std::move(system));
    }
    return systems;
}
