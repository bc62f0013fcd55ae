// Recalbox's EmulationStation publishes each event on Recalbox's own MQTT broker, which the host
// service follows (--recalbox); the service starts at boot from /recalbox/share/system/custom.sh,
// which /etc/init.d/S99custom runs with start and stop (recalbox-buildroot, board/recalbox/
// fsoverlay/etc/init.d/S99custom), as root; its share partition keeps the record. The user scripts
// an older setup installed (NAME[EVENTS].sh in /recalbox/share/userscripts, run for the events in
// brackets) are retired: the service follows the same events, and both would name each.
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
    return {.name = "Recalbox (the host service, on EmulationStation's broker)",
            .hooks = {{"service/tavimoro", "/recalbox/share/system/custom.sh", true}},
            .retired = {scripts + "tavimoro[rungame,endgame,gamelistbrowsing].sh",
                        scripts + "tavimoro[rungame,endgame,gamelistbrowsing,systembrowsing,rundemo,enddemo,startgameclip,"
                                  "stopgameclip,sleep,wakeup].sh"},
            .rule_dir = "/etc/udev/rules.d",
            .state_dir = "/recalbox/share/system/tavimoro",
            .note = "EmulationStation runs its scripts as root"};
}

} // namespace

const frontend_setup RECALBOX_SETUP = {recognises, layout};
