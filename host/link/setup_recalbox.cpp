// Recalbox runs /recalbox/share/userscripts/NAME[EVENTS].sh for the events in brackets
// (wiki.recalbox.com/en/advanced-usage/scripts-on-emulationstation-events; recalbox-emulationstation,
// es-app/src/NotificationManager.cpp), as root; its share partition keeps the record. The name of
// the hook an older setup installed, for fewer events, is retired: both would run.
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
    const std::string scripts = "/recalbox/share/userscripts/";
    const std::string name = "tavimoro[rungame,endgame,gamelistbrowsing,systembrowsing,rundemo,enddemo,startgameclip,"
                             "stopgameclip,sleep,wakeup].sh";
    return {.name = "Recalbox (user scripts)",
            .hooks = {{"recalbox/" + name, scripts + name}},
            .retired = {scripts + "tavimoro[rungame,endgame,gamelistbrowsing].sh"},
            .rule_dir = "/etc/udev/rules.d",
            .state_dir = "/recalbox/share/system/tavimoro",
            .note = "EmulationStation runs its scripts as root"};
}

} // namespace

const frontend_setup RECALBOX_SETUP = {recognises, layout};
