// RetroArch's GET_STATUS replies, read into the command that names their content.
#pragma once

#include <string>

// The game command's JSON fields for `reply` when it names content other than `named` (which it
// then becomes): 0, or -1 when there is nothing new to name.
int retroarch_status_command(const std::string& reply, std::string& named, std::string& json);
