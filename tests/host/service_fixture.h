// A player on a simulated board with the host service driving it: the service started as the
// owner starts it, its log, and its end.
#pragma once

#include "sim/sim_board.h"
#include "tests/support/program_fixture.h"

#include <sys/types.h>

#include <chrono>
#include <string>

namespace board_test {

class ServiceTest : public ProgramTest {
protected:
    // The service's local socket and temporary folder are the root's (ROOT/sim/service.sock,
    // ROOT/sim/service-tmp), for the service and every tavimoro-host the test runs.
    void SetUp() override;
    void TearDown() override;

    // Starts the player and waits until it answers on the link.
    void start_player();
    // Starts `tavimoro-host serve -d ROOT/sim/host.sock ARGS` (shell words), its output in
    // ROOT/sim/service.log, and waits until it is ready.
    void start_service(const std::string& args);
    // Ends it with SIGTERM: its exit status, -1 when it does not end in time.
    int stop_service();
    std::string service_log() const;
    bool wait_for_service_log(const std::string& text, std::chrono::milliseconds timeout, size_t from = 0) const;

    pid_t service_ = 0;
};

} // namespace board_test
