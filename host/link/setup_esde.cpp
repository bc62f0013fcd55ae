// ES-DE runs every file of ~/ES-DE/scripts/EVENT/ once "Enable custom event scripts" is on
// (ES-DE INSTALL.md, "Custom event scripts"; es-core/src/Scripting.cpp), as the desktop user.
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
    return {"ES-DE (custom event scripts)",
            {{"es-de/game-start.sh", home + "scripts/game-start/tavimoro.sh"},
             {"es-de/game-end.sh", home + "scripts/game-end/tavimoro.sh"}},
            "/etc/udev/rules.d", home + "tavimoro", user, ""};
}

} // namespace

const frontend_setup ESDE_SETUP = {recognises, layout};
