// Attract-Mode keeps its settings in ~/.attract (attract.cfg) and runs the plug-ins of
// ~/.attract/plugins/NAME/plugin.nut that attract.cfg enables, in the words it saves them in
// itself (src/fe_info.cpp, FePlugInfo::save: "plugin<TAB>NAME", then "<TAB>enabled" padded to 20
// characters and " yes"). It runs as the desktop user. It rewrites attract.cfg when it quits, so
// setup is run while it is closed.
#include "host/link/setup_frontend.h"

namespace {

constexpr const char* MARKER = ".attract/attract.cfg";

bool recognises(const std::string& root)
{
    return !user_with(root, MARKER).empty();
}

setup_frontend layout(const std::string& root)
{
    const std::string user = user_with(root, MARKER);
    const std::string config = "/home/" + user + "/.attract/";
    return {.name = "Attract-Mode (plug-in)",
            .hooks = {{"attract-mode/Tavimoro/plugin.nut", config + "plugins/Tavimoro/plugin.nut"}},
            .blocks = {{config + "attract.cfg", "\nplugin\tTavimoro\n\tenabled              yes\n", "plugin\tTavimoro"}},
            .rule_dir = "/etc/udev/rules.d",
            .state_dir = config + "tavimoro",
            .user = user};
}

} // namespace

const frontend_setup ATTRACT_SETUP = {recognises, layout};
