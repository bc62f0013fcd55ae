// ES-DE runs every file of ~/ES-DE/scripts/EVENT/ once "Enable custom event scripts" is on
// (ES-DE INSTALL.md, "Custom event scripts"; es-core/src/Scripting.cpp), as the desktop user, and
// waits for each. One hook serves the events that change what the owner looks at, and tells them
// apart by its folder.
#include "host/link/setup_frontend.h"

namespace {

bool recognises(const std::string& root)
{
    return !user_with(root, "ES-DE").empty();
}

setup_frontend layout(const std::string& root)
{
    const std::string user = user_with(root, "ES-DE");
    const std::string home = "/home/" + user + "/ES-DE/";
    setup_frontend f{.name = "ES-DE (custom event scripts)",
                     .rule_dir = "/etc/udev/rules.d",
                     .state_dir = home + "tavimoro",
                     .user = user};
    for (const char* event : {"game-select", "system-select", "game-start", "game-end", "screensaver-start",
                              "screensaver-end", "screensaver-game-select"})
        f.hooks.push_back({"es-de/tavimoro.sh", home + "scripts/" + event + "/tavimoro.sh"});
    return f;
}

} // namespace

const frontend_setup ESDE_SETUP = {recognises, layout};
