// Recalbox runs /recalbox/share/userscripts/NAME[EVENTS].sh for the events in brackets
// (wiki.recalbox.com/en/advanced-usage/scripts-on-emulationstation-events), as root; its share
// partition keeps the record.
#include "host/link/setup_frontend.h"

#include <filesystem>

namespace {

bool recognises(const std::string& root)
{
    std::error_code error;
    return std::filesystem::is_directory(root + "/recalbox/share", error);
}

setup_frontend layout(const std::string&)
{
    const std::string name = "tavimoro[rungame,endgame,gamelistbrowsing].sh";
    return {"Recalbox (user scripts)", {{"recalbox/" + name, "/recalbox/share/userscripts/" + name}}, "/etc/udev/rules.d",
            "/recalbox/share/system/tavimoro", "", "EmulationStation runs its scripts as root"};
}

} // namespace

const frontend_setup RECALBOX_SETUP = {recognises, layout};
