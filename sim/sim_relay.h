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

private:
    UniqueFD gadget_listener_, host_listener_;
    UniqueFD gadget_, host_;
};
