// Batocera: EmulationStation runs every script of /userdata/system/configs/emulationstation/scripts/
// EVENT/ (batocera-emulationstation, es-core/src/Paths.cpp and Scripting.cpp; wiki.batocera.org/
// launch_a_script), as root (batocera.linux, board/batocera/fsoverlay/etc/init.d/S31emulationstation).
// Its root is rebuilt at every upgrade; udev rules persist in /userdata/system/udev/rules.d
// (wiki.batocera.org/udev_rules).
#include "host/link/setup_frontend.h"

#include <filesystem>

namespace {

bool recognises(const std::string& root)
{
    std::error_code error;
    return std::filesystem::is_directory(root + "/usr/share/batocera", error) ||
           std::filesystem::is_directory(root + "/userdata/system/configs/emulationstation", error);
}

setup_frontend layout(const std::string&)
{
    const std::string scripts = "/userdata/system/configs/emulationstation/scripts/";
    setup_frontend f{"Batocera (EmulationStation event scripts)", {}, "/userdata/system/udev/rules.d",
                     "/userdata/system/tavimoro", "", "EmulationStation runs its scripts as root"};
    for (const char* event : {"game-start", "game-end", "game-selected"})
        f.hooks.push_back({std::string("emulationstation/") + event + ".sh", scripts + event + "/tavimoro.sh"});
    return f;
}

} // namespace

const frontend_setup BATOCERA_SETUP = {recognises, layout};
