// tavimoro-host against the real reader thread, through the simulator's USB link relay.
#include "core/events.h"
#include "hostlink/banner_info.h"
#include "hostlink/hid_dev.h"
#include "tests/hostlink/link_harness.h"
#include "tools/sim_board.h"
#include "tools/sim_relay.h"


#include <atomic>
#include <cstdio>
#include <memory>
#include <thread>

namespace {

using namespace hostlink_test;

const std::string DISK = std::string("/media/") + SIM_DEFAULT_DISK;

using tool_result = board_test::command_result;

class HostToolTest : public HostLinkTest {
protected:
    void attach_link() override
    {
        relay_ = std::make_unique<SimRelay>();
        ASSERT_EQ(relay_->open(path("/dev/hidg1"), path("/sim/host.sock")), 0);
        ASSERT_EQ(start_hid_thread(), 0);
        relaying_ = std::thread([this] {
            while (!stop_relay_)
                relay_->step(10);
        });
    }

    void TearDown() override
    {
        stop_relay_ = true;
        if (relaying_.joinable())
            relaying_.join();
        relay_.reset();
        HostLinkTest::TearDown();
    }

    // Runs the tool with `args` on the host socket; its exit status and everything it printed.
    tool_result run(const std::string& args, const std::string& device = "/sim/host.sock")
    {
        return board_test::run_command(std::string(TAVIMORO_HOST_TOOL) + " --device " + path(device) + " " + args);
    }

    std::string sample(const std::string& board, const std::string& contents)
    {
        write_file(board, contents);
        return path(board);
    }

private:
    std::unique_ptr<SimRelay> relay_;
    std::thread relaying_;
    std::atomic<bool> stop_relay_{false};
};

TEST_F(HostToolTest, NamesTheRunningGame)
{
    tool_result result = run("info --title 'Star Fighter' --title2 'Star Fighter' --leaderboard 'AAA\\n100' --type 1");
    EXPECT_EQ(result.status, 0) << result.output;
    ASSERT_TRUE(wait_events(1));
    const auto* info = static_cast<const banner_info_msg*>(events()[0].user.data1);
    EXPECT_STREQ(info->title2, "\"Star Fighter\"");
    EXPECT_STREQ(info->leaderboard, "\"AAA\\n100\"");
    EXPECT_STREQ(info->type, "1");
}

TEST_F(HostToolTest, SendsFilesAndTellsWhyTheBoardRefusesOne)
{
    std::string data = pattern(10000);
    tool_result result = run("send " + sample("/sim/in/game.bin", data));
    EXPECT_EQ(result.status, 0) << result.output;
    EXPECT_EQ(read_file(DISK + "/game.bin"), data);

    set_sim_disk_free(board_test::process_root(), SIM_DEFAULT_DISK, 1);
    result = run("send --name other.bin " + sample("/sim/in/small.bin", pattern(2047)));
    EXPECT_EQ(result.status, 1);
    EXPECT_NE(result.output.find("not enough free space"), std::string::npos) << result.output;

    result = run("send --name ../up.bin " + path("/sim/in/small.bin"));
    EXPECT_EQ(result.status, 2) << result.output;
}

TEST_F(HostToolTest, SendsAPackageAndWaitsForItsUnpack)
{
    write_file("/sim/zip/vorlix/game.png", "picture");
    ASSERT_EQ(system(("cd " + path("/sim/zip") + " && zip -q -r ../media.zip .").c_str()), 0);
    tool_result result = run("package " + path("/sim/media.zip"));
    EXPECT_EQ(result.status, 0) << result.output;
    EXPECT_NE(result.output.find("package unpacked"), std::string::npos);
    EXPECT_EQ(read_file(DISK + "/vorlix/vorlix/game.png"), "picture");
}

TEST_F(HostToolTest, SendsFirmwareUnderTheNameRecoveryLooksFor)
{
    tool_result result = run("firmware " + sample("/sim/in/fw.img", pattern(4000)));
    EXPECT_EQ(result.status, 0) << result.output;
    EXPECT_EQ(read_file(DISK + "/vorlix_update_online.img"), pattern(4000));
    ASSERT_TRUE(wait_events(1));
    EXPECT_EQ(events()[0].type, static_cast<Uint32>(EVENT_FW_UPDATE));
}

TEST_F(HostToolTest, PushesAPictureWithItsText)
{
    tool_result result = run("image --title 'High scores' --name card.png " + sample("/sim/in/p.png", pattern(70000)));
    EXPECT_EQ(result.status, 0) << result.output;
    EXPECT_EQ(read_file("/tmp/card.png"), pattern(70000));
    ASSERT_TRUE(wait_events(1));
    const auto* info = static_cast<const banner_info_msg*>(events()[0].user.data2);
    ASSERT_NE(info, nullptr);
    EXPECT_STREQ(info->title, "\"High scores\"");
}

TEST_F(HostToolTest, AsksTheLinkStateAndStartsAnUpdate)
{
    tool_result result = run("state");
    EXPECT_EQ(result.status, 0) << result.output;
    EXPECT_NE(result.output.find("link is configured"), std::string::npos) << result.output;

    result = run("update");
    EXPECT_EQ(result.status, 1) << result.output;
    EXPECT_NE(result.output.find("no such image"), std::string::npos) << result.output;
}

TEST_F(HostToolTest, ABoardThatDoesNotAnswerIsAnError)
{
    UniqueFD mute = listen_socket(path("/sim/mute.sock"));
    ASSERT_TRUE(mute.valid());
    tool_result result = run("--timeout 1 info --title x", "/sim/mute.sock");
    EXPECT_EQ(result.status, 3);
    EXPECT_NE(result.output.find("no answer"), std::string::npos) << result.output;

    result = run("--help");
    EXPECT_EQ(result.status, 0);
    EXPECT_NE(result.output.find("Usage: tavimoro-host"), std::string::npos);
}

} // namespace
