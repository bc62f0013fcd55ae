// The host service as the hooks and the owner meet it: one-shot commands handed to it in order,
// files handed as descriptors, and the link kept across the board going and coming.
#include "tests/host/service_fixture.h"

#include <filesystem>
#include <fstream>

using namespace std::chrono_literals;

namespace {

constexpr auto STEP_TIMEOUT = 30s;

class HostServiceTest : public board_test::ServiceTest {
protected:
    void SetUp() override
    {
        ServiceTest::SetUp();
        start_player();
        start_service("--listen off");
    }

    void expect_shown(const std::string& romname, size_t from)
    {
        EXPECT_TRUE(wait_for_log("banner_info.romname=" + romname + "\n", STEP_TIMEOUT, from)) << log();
    }
};

// Hooks fire in quick succession, each returning at once: the board ends on the last, the
// selection is the service's for back, and a file handed over by descriptor lands whole.
TEST_F(HostServiceTest, OneShotCommandsGoThroughTheServiceInOrder)
{
    size_t mark = log().size();
    ASSERT_EQ(host("--background info --romname chosen --title Chosen --select"), 0);
    for (int i = 0; i < 20; i++)
        ASSERT_EQ(host("--background info --romname rush" + std::to_string(i)), 0);
    expect_shown("rush19", mark);
    EXPECT_EQ(log().find("banner_info.romname=rush19\n", mark), log().rfind("banner_info.romname=")) << log();

    mark = log().size();
    EXPECT_EQ(host("back"), 0);
    expect_shown("chosen", mark);

    std::string file = path("/sim/hiscores.txt");
    std::ofstream(file) << "ACE 9999\n";
    EXPECT_EQ(host("send " + file), 0) << read_file("/sim/host.log");
    EXPECT_EQ(read_file("/media/usbhd-sda1/hiscores.txt"), "ACE 9999\n");
    // What the service took over is gone once sent.
    size_t files_left = 0;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(path("/sim/service-tmp")))
        files_left += entry.is_regular_file();
    EXPECT_EQ(files_left, 0u);

    EXPECT_NE(host("info --romname x --system snes"), 0);
    EXPECT_NE(read_file("/sim/host.log").find("name a game or a system, not both"), std::string::npos);
}

// Unplugged, the board's link closes; plugged in again, the service opens it by itself and the
// board shows again what it showed.
TEST_F(HostServiceTest, KeepsTheLinkAcrossUnplugging)
{
    ASSERT_EQ(host("info --romname before --select"), 0);
    size_t logged = service_log().size();
    unplug_link();
    ASSERT_TRUE(wait_for_service_log("link closed", STEP_TIMEOUT, logged)) << service_log();
    // The player, as a board just plugged in, shows its boot banner until it is named again.
    ASSERT_EQ(host("--background info --romname during"), 0);
    size_t mark = log().size();
    plug_link();
    ASSERT_TRUE(wait_for_service_log("link open", STEP_TIMEOUT, logged)) << service_log();
    expect_shown("during", mark);
    EXPECT_EQ(stop_service(), 0) << service_log();
    EXPECT_NE(service_log().find("tavimoro-host serve: stopped"), std::string::npos);
}

} // namespace
