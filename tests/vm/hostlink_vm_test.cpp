// The host link over the real USB HID gadget: tavimoro-host on the host-side hidraw node talks to
// the reader thread on /dev/hidg1, as a gaming host does with the board.
#include "tests/vm/vm_board.h"

#include "core/events.h"
#include "core/board_root.h"
#include "hostlink/banner_info.h"
#include "hostlink/hid_dev.h"
#include "tests/hostlink/link_harness.h"
#include "sim/sim_board.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

namespace {

using namespace hostlink_test;
using vm_test::run_host_tool;
using tool_result = board_test::command_result;

const std::string DISK = std::string("/media/") + SIM_DEFAULT_DISK;
// The serial number the gadget script gave the bench's gadget.
std::string bench_serial()
{
    std::ifstream file(vm_test::gadget_dir() + "/strings/0x409/serialnumber");
    std::string serial;
    std::getline(file, serial);
    return serial;
}
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

    // tavimoro-host as a gaming host runs it: no device named, the machine's own HID devices.
    static tool_result run_searching(const std::string& args)
    {
        return board_test::run_command("env -u TAVIMORO_HOST_ROOT -u TAVIMORO_DEVICE -u TAVIMORO_SERIAL " +
                                       shell_quote(TAVIMORO_HOST_TOOL) + " --timeout 20 " + args);
    }

    std::vector<std::string> banner_titles()
    {
        std::vector<std::string> titles;
        for (const SDL_Event& event : events())
            if (event.type == EVENT_BANNER_INFO)
                titles.push_back(static_cast<const banner_info_msg*>(event.user.data1)->title);
        std::sort(titles.begin(), titles.end());
        return titles;
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

TEST_F(RealLinkTest, TheToolFindsTheGadgetWithNoDeviceNamed)
{
    const std::string serial = bench_serial();
    ASSERT_FALSE(serial.empty()) << "the gadget has no serial number";
    tool_result result = run_searching("list");
    EXPECT_EQ(result.status, 0) << result.output;
    EXPECT_EQ(result.output.find(vm_test::hidraw_node() + "  serial " + serial + "  at usb-"), 0u) << result.output;
    EXPECT_EQ(std::count(result.output.begin(), result.output.end(), '\n'), 1) << "the gadget's other interface is not the link";

    result = run_searching("info --title 'Star Fighter' --title2 'Star Fighter'");
    EXPECT_EQ(result.status, 0) << result.output;
    result = run_searching("--serial " + serial + " info --title 'Road Racer'");
    EXPECT_EQ(result.status, 0) << result.output;
    ASSERT_TRUE(wait_events(2));
    EXPECT_EQ(banner_titles(), (std::vector<std::string>{"\"Road Racer\"", "\"Star Fighter\""}));
}

// Hooks fire in quick succession: runs started together on one node take turns, and every
// message arrives whole; a run whose event a later one overtook sends nothing.
TEST_F(RealLinkTest, RunsStartedTogetherTakeTurnsOnTheNode)
{
    constexpr int RUNS = 4;
    std::string script = "pids=; for i in $(seq " + std::to_string(RUNS) + "); do " + shell_quote(TAVIMORO_HOST_TOOL) +
                         " --timeout 20 --device " + shell_quote(vm_test::hidraw_node()) +
                         " info --title \"Game $i\" --leaderboard \"$(printf '%0200d' $i)\" & pids=\"$pids $!\"; done; "
                         "status=0; for pid in $pids; do wait $pid || status=1; done; exit $status";
    tool_result result = board_test::run_command("sh -c " + shell_quote(script));
    EXPECT_EQ(result.status, 0) << result.output;
    auto said = [&](const std::string& text) {
        size_t count = 0;
        for (size_t at = 0; (at = result.output.find(text, at)) != std::string::npos; at += text.size())
            count++;
        return count;
    };
    size_t sent = said("the board took the game information");
    EXPECT_EQ(sent + said("nothing sent"), static_cast<size_t>(RUNS)) << result.output;
    ASSERT_GE(sent, 1u) << result.output;
    ASSERT_TRUE(wait_events(sent)) << result.output;
    EXPECT_EQ(events().size(), sent);
    for (const SDL_Event& event : events()) {
        const auto* info = static_cast<const banner_info_msg*>(event.user.data1);
        std::string title = info->title;
        ASSERT_EQ(title.rfind("\"Game ", 0), 0u) << title;
        int run = atoi(title.c_str() + 6);
        char digits[256];
        snprintf(digits, sizeof digits, "\"%0200d\"", run);
        EXPECT_STREQ(info->leaderboard, digits) << title;
    }
}

} // namespace
