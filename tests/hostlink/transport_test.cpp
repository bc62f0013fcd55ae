// The reader thread over the gadget-node socket: framing, dispatch and the end of the link.
#include "hostlink/hid_dev.h"
#include "tests/hostlink/link_harness.h"

#include <sys/socket.h>

namespace {

using namespace hostlink_test;

class TransportTest : public HostLinkTest {};

TEST_F(TransportTest, IgnoresWrongHeadersAndUnknownCommands)
{
    hid_report report = make_message_prepare(0, 1, 0);
    report[1] = 0x56;
    send(report);
    report[0] = 0xAB;
    report[1] = 0x55;
    send(report);
    send(make_request(0xA1));
    EXPECT_TRUE(silent());

    // The link still answers a well-formed request afterwards, with the whole reply layout.
    send(make_message_prepare(0, 1, 0));
    std::optional<hid_report> reply = receive();
    ASSERT_TRUE(reply);
    hid_report expected{};
    fill_reply(expected.data(), CMD_MESSAGE_PREPARE, 0);
    EXPECT_EQ(*reply, expected);
    EXPECT_EQ((*reply)[0], 0xAA);
    EXPECT_EQ((*reply)[3], 0x01);
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
