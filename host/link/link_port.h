// What the link needs of the host system, one file per system: the board's node opened (in turn
// with other runs of the tool), one report written, one read within a time-out. The protocol
// above it (requests, replies, transfers) is the same on every system.
#pragma once

#include "hostlink/wire.h"

#include <memory>
#include <string>

// An open node, as each system holds it.
struct link_port;
void close_port(link_port* port);
struct port_closer {
    void operator()(link_port* port) const { close_port(port); }
};
using port_handle = std::unique_ptr<link_port, port_closer>;

// Opens the node at `path`, waiting for other runs that hold it: the port, or null with the
// system's reason in `why` and `no_permission` set when access was refused.
port_handle open_port(const std::string& path, bool& no_permission, std::string& why);

bool write_report(link_port& port, const hid_report& report);

// 1 with `report` filled, 0 when none came within `timeout_ms`, -1 when the link failed.
int read_report(link_port& port, hid_report& report, int timeout_ms);

// The system's reason for the last failed write or read.
std::string last_port_error();
// The descriptor to wait on beside others, for a link kept open (the service); -1 where the
// system has none.
int port_descriptor(const link_port& port);
