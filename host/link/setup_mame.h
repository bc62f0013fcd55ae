// `tavimoro-host setup`'s MAME step: the plugin that names MAME's running machine to the board,
// put where MAME reads plugins for each user who runs MAME, and turned on; --remove takes it back.
#pragma once

#include <string>

// For every home of the system at `root` ("" for this one) that holds MAME's folder .mame:
// installs the plugin in ~/.mame/plugins/tavimoro, adds that folder to MAME's pluginspath and
// turns the plugin on in ~/.mame/plugin.ini; with `remove`, takes that out again. Prints each
// step ("would ..." in a dry run), changes nothing already right, and writes each file whole.
// 0 when done, EXIT_REFUSED when a step could not be done (the others are still done).
int setup_mame(const std::string& root, bool remove, bool dry_run);
