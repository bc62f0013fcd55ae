// Drives the real host-link reader thread over the gadget-node socket stand-in, as the USB host.
#pragma once

#include "core/unique_fd.h"
#include "hostlink/wire.h"
#include "tests/support/board_fixture.h"

#include <SDL.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace hostlink_test {

using namespace std::chrono_literals;

inline constexpr auto REPLY_TIMEOUT = std::chrono::milliseconds(10000);
// How long a report that must not be answered is given to be answered anyway.
inline constexpr auto SILENCE = std::chrono::milliseconds(300);

// Listening socket at ROOT/dev/hidg1 (or any other board path).
UniqueFD listen_socket(const std::string& path);
// Accepts one connection within `timeout`; invalid on time-out.
UniqueFD accept_within(int listener, std::chrono::milliseconds timeout);

class HostLinkTest : public board_test::BoardRootTest {
protected:
    void SetUp() override;
    void TearDown() override;
    // Starts the reader with this test as the host at the other end of the gadget node.
    virtual void attach_link();

public:
    void send(const hid_report& report);
    // The next report from the player, if one comes within `timeout`.
    std::optional<hid_report> receive(std::chrono::milliseconds timeout = REPLY_TIMEOUT);
    // Status of the next reply, which must answer `command`; -1 when none came.
    int reply_status(uint8_t command, std::chrono::milliseconds timeout = REPLY_TIMEOUT);
    bool silent(std::chrono::milliseconds timeout = SILENCE) { return !receive(timeout); }

    // Whole transfers as the host drives them: prepare (answered), data reports, verify; the
    // verify's status, -1 when the prepare was refused or nothing answered.
    int prepare(uint8_t command, uint32_t size, uint32_t count, const std::string& name);
    void send_payload(uint8_t command, const std::string& data);
    int transfer(uint8_t prepare_command, const std::string& name, const std::string& data);

    // Events the reader pushed so far, taken off the queue and kept here (blocks freed at the end).
    const std::vector<SDL_Event>& events();
    // Waits until at least `count` events arrived.
    bool wait_events(size_t count, std::chrono::milliseconds timeout = REPLY_TIMEOUT);
    std::vector<int> event_types();

    // Closes the host side: the reader ends as on a read error.
    void disconnect() { peer_.reset(); }
    int peer() const { return peer_.get(); }

private:
    UniqueFD listener_;
    UniqueFD peer_;
    std::vector<SDL_Event> events_;
};

// Random-looking but fixed test data.
std::string pattern(size_t size, unsigned seed = 1);

} // namespace hostlink_test
