// The bench's USB HID gadget: reports cross between the host-side hidraw node and the board's
// gadget node, whole and in both directions.
#include "tests/vm/vm_board.h"

#include "core/board_root.h"
#include "core/unique_fd.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <array>
#include <cstring>

namespace {

constexpr size_t REPORT_SIZE = 64;
constexpr int READ_TIMEOUT_MS = 10000;

using Report = std::array<uint8_t, REPORT_SIZE>;

// One read of at most a buffer larger than a report, so that a merged or split report shows.
ssize_t read_one(int fd, uint8_t* buffer, size_t size)
{
    pollfd node = {fd, POLLIN, 0};
    if (poll(&node, 1, READ_TIMEOUT_MS) != 1)
        return -1;
    return read(fd, buffer, size);
}

Report numbered_report(uint8_t first)
{
    Report report;
    for (size_t i = 0; i < report.size(); ++i)
        report[i] = uint8_t(first + i);
    return report;
}

class GadgetTest : public vm_test::VmBoardTest {};

TEST_F(GadgetTest, ControllerStateReadsConfigured)
{
    EXPECT_EQ(read_file(vm_test::UDC_STATE), "configured\n");
}

TEST_F(GadgetTest, ReportsCrossWholeInBothDirections)
{
    UniqueFD host(open(vm_test::hidraw_node().c_str(), O_RDWR | O_CLOEXEC));
    ASSERT_TRUE(host.valid()) << vm_test::hidraw_node() << ": " << strerror(errno);
    UniqueFD board(open(board_path("/dev/hidg1").c_str(), O_RDWR | O_CLOEXEC));
    ASSERT_TRUE(board.valid()) << strerror(errno);

    // The host writes the report number (0, the descriptor has none) before the 64 bytes.
    Report request = numbered_report(0xaa);
    uint8_t written[REPORT_SIZE + 1] = {0};
    memcpy(written + 1, request.data(), REPORT_SIZE);
    ASSERT_EQ(write(host.get(), written, sizeof written), ssize_t(sizeof written)) << strerror(errno);
    uint8_t received[2 * REPORT_SIZE];
    ASSERT_EQ(read_one(board.get(), received, sizeof received), ssize_t(REPORT_SIZE));
    EXPECT_EQ(memcmp(received, request.data(), REPORT_SIZE), 0);

    Report reply = numbered_report(0x10);
    ASSERT_EQ(write(board.get(), reply.data(), REPORT_SIZE), ssize_t(REPORT_SIZE)) << strerror(errno);
    ASSERT_EQ(read_one(host.get(), received, sizeof received), ssize_t(REPORT_SIZE));
    EXPECT_EQ(memcmp(received, reply.data(), REPORT_SIZE), 0);
}

} // namespace
