// The simulated USB link: relays 64-byte reports between the player's gadget socket and a host.
#pragma once

#include "core/unique_fd.h"

#include <string>

class SimRelay {
public:
    // Listens at `gadget_path` (the player's /dev/hidg1) and `host_path` (for tavimoro-host).
    int open(const std::string& gadget_path, const std::string& host_path);
    // Waits up to `timeout_ms` for traffic and relays what came; one host at a time.
    void step(int timeout_ms);
    // The board unplugged from the host and plugged in again: the host's connection and socket
    // go, then the socket is made anew at `host_path`.
    void unplug_host();
    int plug_host(const std::string& host_path);

private:
    UniqueFD gadget_listener_, host_listener_;
    UniqueFD gadget_, host_;
};
