// RetroPie: runcommand runs `bash /opt/retropie/configs/all/runcommand-onstart.sh SYSTEM EMULATOR
// ROM COMMAND` before each game and runcommand-onend.sh after it (RetroPie-Setup,
// scriptmodules/supplementary/runcommand/runcommand.sh, user_script), as the user RetroPie was
// installed for (pi by default), whose EmulationStation lives in ~/.emulationstation. runcommand
// starts every game whatever the frontend, so EmulationStation's own event scripts are not added
// as well: each game would be named twice.
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
    return {"RetroPie (runcommand)",
            {{"retropie/runcommand-onstart.sh", all + "runcommand-onstart.sh", true},
             {"retropie/runcommand-onend.sh", all + "runcommand-onend.sh", true}},
            "/etc/udev/rules.d", all + "tavimoro", user.empty() ? "pi" : user, ""};
}

} // namespace

const frontend_setup RETROPIE_SETUP = {recognises, layout};
