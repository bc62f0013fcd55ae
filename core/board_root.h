// Where the board's fixed paths really live: the board root, and quoting for the shell.
#pragma once

#include <string>
#include <string_view>

// The root named by TAVIMORO_ROOT, read once on first use; empty on the board itself.
const std::string& board_root();

// A fixed board path ("/dev/hidg1", "/media", ...) as it is reached on this machine.
std::string board_path(std::string_view path);

// One shell word holding exactly `text`, whatever characters it has.
std::string shell_quote(std::string_view text);
