// The host link over the real USB HID gadget: tavimoro-host on the host-side hidraw node talks to
// the reader thread on /dev/hidg1, as a gaming host does with the board.
#include "tests/vm/vm_board.h"

#include "core/events.h"
#include "hostlink/banner_info.h"
#include "hostlink/hid_dev.h"
#include "tests/hostlink/link_harness.h"
#include "tools/sim_board.h"

namespace {

using namespace hostlink_test;
using vm_test::run_host_tool;
using tool_result = board_test::command_result;

const std::string DISK = std::string("/media/") + SIM_DEFAULT_DISK;
// Several hundred reports each way, whole packets and a short last one.
constexpr size_t FILE_SIZE = 30001;
constexpr size_t PICTURE_SIZE = 20000;

class RealLinkTest : public HostLinkTest {
protected:
    void attach_link() override
    {
        if (!vm_test::in_vm())
            GTEST_SKIP() << vm_test::OUTSIDE_VM;
        vm_test::link_real_nodes();
        ASSERT_EQ(start_hid_thread(), 0);
    }

    static std::string sample(const std::string& board, const std::string& contents)
    {
        write_file(board, contents);
        return path(board);
    }
};

TEST_F(RealLinkTest, ConnectStateFollowsTheRealController)
{
    tool_result result = run_host_tool("state");
    EXPECT_EQ(result.status, 0) << result.output;
    EXPECT_NE(result.output.find("link is configured"), std::string::npos) << result.output;
}

TEST_F(RealLinkTest, BannerInfoArrivesAsOneMessage)
{
    tool_result result = run_host_tool("info --title 'Star Fighter' --title2 'Star Fighter' --leaderboard 'AAA\\n100' --type 1");
    EXPECT_EQ(result.status, 0) << result.output;
    ASSERT_TRUE(wait_events(1));
    ASSERT_EQ(events()[0].type, static_cast<Uint32>(EVENT_BANNER_INFO));
    const auto* info = static_cast<const banner_info_msg*>(events()[0].user.data1);
    EXPECT_STREQ(info->title2, "\"Star Fighter\"");
    EXPECT_STREQ(info->leaderboard, "\"AAA\\n100\"");
    EXPECT_STREQ(info->type, "1");
}

TEST_F(RealLinkTest, FileIsStoredByteForByte)
{
    std::string data = pattern(FILE_SIZE, 7);
    tool_result result = run_host_tool("send --name game.bin " + sample("/sim/in/game.bin", data));
    EXPECT_EQ(result.status, 0) << result.output;
    EXPECT_EQ(read_file(DISK + "/game.bin"), data);
}

TEST_F(RealLinkTest, ShowImageStoresThePictureAndAnnouncesIt)
{
    std::string picture = pattern(PICTURE_SIZE, 9);
    tool_result result = run_host_tool("image --title 'High scores' --name card.png " + sample("/sim/in/p.png", picture));
    EXPECT_EQ(result.status, 0) << result.output;
    EXPECT_EQ(read_file("/tmp/card.png"), picture);
    ASSERT_TRUE(wait_events(1));
    ASSERT_EQ(events()[0].type, static_cast<Uint32>(EVENT_SHOW_IMAGE));
    const auto* info = static_cast<const banner_info_msg*>(events()[0].user.data2);
    ASSERT_NE(info, nullptr);
    EXPECT_STREQ(info->title, "\"High scores\"");
}

} // namespace
