// A board program run as a process of its own in the fixture root, its USB link relayed to
// ROOT/sim/host.sock, where the host tool reaches it.
#pragma once

#include "tests/support/board_fixture.h"
#include "sim/sim_relay.h"

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

namespace board_test {

class ProgramTest : public BoardRootTest {
protected:
    void SetUp() override;
    // Kills a program still running, then stops the relay.
    void TearDown() override;

    // Starts `program` with its standard output and error in `log_file` (a full path).
    void start_program(const char* program, const std::string& log_file);
    // The exit status once the program ends; -1 when it does not end in time or not normally.
    int wait_exit(std::chrono::milliseconds timeout);
    // Ends the program with SIGTERM; as wait_exit.
    int stop_program(std::chrono::milliseconds timeout);

    // Everything the program has written so far.
    std::string log() const;
    // Waits for `text` in the log after its first `from` bytes.
    bool wait_for_log(const std::string& text, std::chrono::milliseconds timeout, size_t from = 0) const;

    // Runs tavimoro-host with `args` (shell words) on the host socket, its output appended to
    // ROOT/sim/host.log; its exit status.
    static int host(const std::string& args);

    // The board unplugged from the host (the host's socket gone) and plugged in again.
    void unplug_link();
    void plug_link();

    pid_t program_ = 0;

private:
    std::string log_file_;
    SimRelay relay_;
    std::atomic<bool> stop_relay_{false};
    // What the relay's thread is asked to do to the host's side before its next step.
    enum { LINK_KEEP, LINK_UNPLUG, LINK_PLUG };
    std::atomic<int> link_change_{LINK_KEEP};
    void change_link(int change);
    std::thread relaying_;
};

} // namespace board_test
