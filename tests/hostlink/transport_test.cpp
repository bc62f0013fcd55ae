// The reader thread over the gadget-node socket: framing, dispatch and the end of the link.
#include "hostlink/hid_dev.h"
#include "tests/hostlink/link_harness.h"

#include <sys/socket.h>

namespace {

using namespace hostlink_test;

constexpr const char* UDC_STATE = "/sys/devices/platform/10180000.usb/udc/10180000.usb/state";

class TransportTest : public HostLinkTest {};

TEST_F(TransportTest, IgnoresWrongHeadersAndUnknownCommands)
{
    hid_report report = make_request(CMD_CONNECT_STATE);
    report[1] = 0x56;
    send(report);
    report[0] = 0xAB;
    report[1] = 0x55;
    send(report);
    send(make_request(0xA1));
    EXPECT_TRUE(silent());
}

TEST_F(TransportTest, ConnectStateFollowsTheUsbController)
{
    send(make_request(CMD_CONNECT_STATE));
    std::optional<hid_report> reply = receive();
    ASSERT_TRUE(reply);
    hid_report expected{0xAA, 0x55, 0xF5, 0x01, 0x01};
    EXPECT_EQ(*reply, expected);

    for (const char* state : {"suspended\n", "not attached\n"}) {
        write_file(UDC_STATE, state);
        send(make_request(CMD_CONNECT_STATE));
        EXPECT_EQ(reply_status(CMD_CONNECT_STATE), 0) << state;
    }
}

TEST_F(TransportTest, RefusesRepliesOnceTheHostIsGone)
{
    disconnect();
    ASSERT_TRUE(board_test::wait_until([] { return hidg_fd.load() < 0; }, REPLY_TIMEOUT));
    uint8_t reply[REPORT_SIZE] = {};
    EXPECT_EQ(send_data(reply, REPORT_SIZE), -1);
}

TEST_F(TransportTest, StopEndsTheReaderWithinItsWaitTimeOut)
{
    auto start = std::chrono::steady_clock::now();
    stop_hid_thread();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(2500));
    EXPECT_LT(hidg_fd.load(), 0);
}

class NoGadgetTest : public board_test::BoardRootTest {};

TEST_F(NoGadgetTest, ReaderEndsAtOnceWithoutADevice)
{
    testing::internal::CaptureStdout();
    ASSERT_EQ(start_hid_thread(), 0);
    stop_hid_thread();
    EXPECT_NE(testing::internal::GetCapturedStdout().find("Failed to open hid5\n"), std::string::npos);
    EXPECT_LT(hidg_fd.load(), 0);
}

} // namespace
