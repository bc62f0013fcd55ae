// A report link of the test's own to the player, for what the host tool would never send: cut
// transfers, wrong CRCs, reports out of place.
#pragma once

#include "core/unique_fd.h"
#include "hostlink/report_socket.h"
#include "hostlink/wire.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <string>

namespace player_test {

class RawLink {
public:
    explicit RawLink(const std::string& socket) : fd_(connect_report_socket(socket)) {}
    bool valid() const { return fd_.valid(); }

    void send(const hid_report& report)
    {
        ASSERT_EQ(::send(fd_.get(), report.data(), report.size(), MSG_NOSIGNAL), ssize_t(REPORT_SIZE));
    }

    // The status of the next reply to `command`; -1 when none comes in time.
    int reply(uint8_t command)
    {
        pollfd wait{fd_.get(), POLLIN, 0};
        hid_report report;
        while (poll(&wait, 1, 10000) == 1) {
            if (recv(fd_.get(), report.data(), report.size(), 0) != ssize_t(REPORT_SIZE))
                return -1;
            if (report[OFFSET_COMMAND] == command)
                return report[OFFSET_STATUS];
        }
        return -1;
    }

    void send_payload(uint8_t command, const std::string& data, uint32_t first_id = 0)
    {
        for (size_t at = 0, id = first_id; at < data.size(); at += PAYLOAD_MAX, id++)
            send(make_data(command, id, data.data() + at, std::min(PAYLOAD_MAX, data.size() - at)));
    }

private:
    UniqueFD fd_;
};

} // namespace player_test
