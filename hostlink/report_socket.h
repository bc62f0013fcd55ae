// The Unix socket that stands in for a HID node off the board: one 64-byte report per message.
#pragma once

#include "core/unique_fd.h"

#include <string>

// Connects a SOCK_SEQPACKET socket to `path`; invalid when that fails.
UniqueFD connect_report_socket(const std::string& path);
