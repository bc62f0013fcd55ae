// RetroPie: runcommand runs `bash /opt/retropie/configs/all/runcommand-onstart.sh SYSTEM EMULATOR
// ROM COMMAND` before each game and runcommand-onend.sh after it (RetroPie-Setup,
// scriptmodules/supplementary/runcommand/runcommand.sh, user_script), as the user RetroPie was
// installed for (pi by default), whose EmulationStation lives in ~/.emulationstation. runcommand
// starts every game whatever the frontend, so EmulationStation's own game-start and game-end are
// left out (each game would be named twice); its events of the cursor and the screensaver
// (RetroPie/EmulationStation 2.10 and later, es-core/src/Scripting.cpp: every script of
// ~/.emulationstation/scripts/EVENT/, each waited for) get the hook they share with Batocera's.
#include "host/link/setup_frontend.h"

#include <filesystem>

namespace {

bool recognises(const std::string& root)
{
    std::error_code error;
    return std::filesystem::is_directory(root + "/opt/retropie/configs/all", error);
}

setup_frontend layout(const std::string& root)
{
    std::string user = user_with(root, ".emulationstation");
    const std::string all = "/opt/retropie/configs/all/";
    if (user.empty())
        user = "pi";
    const std::string scripts = "/home/" + user + "/.emulationstation/scripts/";
    setup_frontend f{.name = "RetroPie (runcommand and EmulationStation event scripts)",
                     .hooks = {{"retropie/runcommand-onstart.sh", all + "runcommand-onstart.sh", true},
                               {"retropie/runcommand-onend.sh", all + "runcommand-onend.sh", true}},
                     .rule_dir = "/etc/udev/rules.d",
                     .state_dir = all + "tavimoro",
                     .user = user};
    for (const char* event :
         {"game-select", "system-select", "screensaver-game-select", "screensaver-start", "screensaver-stop"})
        f.hooks.push_back({"emulationstation/tavimoro.sh", scripts + event + "/tavimoro.sh"});
    return f;
}

} // namespace

const frontend_setup RETROPIE_SETUP = {recognises, layout};
