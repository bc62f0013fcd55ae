// Batocera: EmulationStation runs every script of /userdata/system/configs/emulationstation/scripts/
// EVENT/ (batocera-emulationstation, es-core/src/Paths.cpp and Scripting.cpp; wiki.batocera.org/
// launch_a_script), as root (batocera.linux, board/batocera/fsoverlay/etc/init.d/S31emulationstation),
// each in a process of its own that it does not wait for. One hook serves the events that change
// what the owner looks at, and tells them apart by its folder.
// Its root is rebuilt at every upgrade; udev rules persist in /userdata/system/udev/rules.d
// (wiki.batocera.org/udev_rules), services in /userdata/system/services
// (wiki.batocera.org/scripting_services_rules_examples).
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
    setup_frontend f{.name = "Batocera (EmulationStation event scripts)",
                     .rule_dir = "/userdata/system/udev/rules.d",
                     .state_dir = "/userdata/system/tavimoro",
                     .note = "EmulationStation runs its scripts as root"};
    for (const char* event :
         {"game-selected", "system-selected", "game-start", "game-end", "screensaver-start", "screensaver-stop"})
        f.hooks.push_back({"emulationstation/tavimoro.sh", scripts + event + "/tavimoro.sh"});
    // The host service, for the owner to enable among Batocera's services.
    f.hooks.push_back({"service/tavimoro", "/userdata/system/services/tavimoro"});
    return f;
}

} // namespace

const frontend_setup BATOCERA_SETUP = {recognises, layout};
