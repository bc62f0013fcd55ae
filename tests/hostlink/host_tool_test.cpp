// tavimoro-host against the real reader thread, through the simulator's USB link relay.
#include "core/events.h"
#include "hostlink/banner_info.h"
#include "hostlink/hid_dev.h"
#include "tests/hostlink/link_harness.h"
#include "sim/sim_board.h"
#include "core/board_root.h"
#include "sim/sim_relay.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <fstream>
#include <memory>
#include <thread>
#include <utility>

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
    EXPECT_NE(result.output.find("file stored"), std::string::npos) << result.output;
    EXPECT_EQ(read_file(DISK + "/game.bin"), data);
    // Quiet, as the hooks run it: nothing printed but the reason of a failure.
    result = run("--quiet send --name quiet.bin " + path("/sim/in/game.bin"));
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.output, "");
    EXPECT_EQ(read_file(DISK + "/quiet.bin"), data);

    set_sim_disk_free(board_test::process_root(), SIM_DEFAULT_DISK, 1);
    result = run("-q send --name other.bin " + sample("/sim/in/small.bin", pattern(2047)));
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

const banner_info_msg* banner_info_of(const SDL_Event& event)
{
    return static_cast<const banner_info_msg*>(event.user.data1);
}

// A system is named by its key (never a game's, whatever the ROM is called), and the end of a
// game goes back to what was selected, or to the boot banner when nothing was.
TEST_F(HostToolTest, NamesASystemAndGoesBackToTheSelection)
{
    const std::pair<std::string, std::string> printed[] = {
        {"--system snes", R"({"title":"snes","romname":"@snes","title2":"@snes"})"},
        {"--system 'Neo:Geo' --title 'Neo Geo'", R"({"title":"Neo Geo","romname":"@neo_geo","title2":"@neo_geo"})"},
        {"--system @odd", R"({"title":"@odd","romname":"@_odd","title2":"@_odd"})"},
        {"--rom /roms/@snes.zip", R"({"title":"@snes","romname":"@@snes","title2":"@@snes"})"},
    };
    for (const auto& [args, json] : printed)
        EXPECT_EQ(run("info --print " + args).output, json + "\n") << args;
    EXPECT_EQ(run("info --system snes --rom x.zip").status, 2);

    ASSERT_EQ(run("-q back").status, 0);
    ASSERT_EQ(run("-q info --select --system snes --title 'Super Nintendo'").status, 0);
    ASSERT_EQ(run("-q info --rom '/roms/snes/Star Fighter.sfc'").status, 0);
    ASSERT_EQ(run("-q back").status, 0);
    ASSERT_TRUE(wait_events(4));
    EXPECT_STREQ(banner_info_of(events()[0])->title, "");
    EXPECT_STREQ(banner_info_of(events()[1])->title2, "\"@snes\"");
    EXPECT_STREQ(banner_info_of(events()[2])->romname, "\"Star Fighter\"");
    EXPECT_STREQ(banner_info_of(events()[3])->title, "\"Super Nintendo\"");
    EXPECT_STREQ(banner_info_of(events()[3])->title2, "\"@snes\"");
}

// Hooks raise events one after the other, each starting the tool in the background; however
// their processes reach the link, the board ends on the last one raised.
TEST_F(HostToolTest, TheLastOfFiftyEventsRaisedAtOnceWins)
{
    constexpr int ROUNDS = 50, EVENTS = 50;
    const std::string tool = std::string(TAVIMORO_HOST_TOOL) + " -q -b --device " + shell_quote(path("/sim/host.sock"));
    for (int round = 1; round <= ROUNDS; round++) {
        std::string name = "r" + std::to_string(round) + "-";
        // The command returns once every background call has closed its copy of the output.
        tool_result fired = board_test::run_command("for i in $(seq " + std::to_string(EVENTS) + "); do " + tool +
                                                    " info --select --title " + name + "$i || exit 1; done");
        ASSERT_EQ(fired.status, 0) << fired.output;
        // A last message sent in the foreground marks the end of the round on the link.
        ASSERT_EQ(run("-q info --title end").status, 0);
        ASSERT_TRUE(board_test::wait_until(
            [&] { return !events().empty() && std::string(banner_info_of(events().back())->title) == "\"end\""; },
            REPLY_TIMEOUT));
        ASSERT_GE(events().size(), 2u);
        EXPECT_EQ(std::string(banner_info_of(events()[events().size() - 2])->title),
                  "\"" + name + std::to_string(EVENTS) + "\"")
            << "round " << round;
    }
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

namespace {

// The host's HID devices as the tool searches them when no device is named: a fake
// sys/class/hidraw tree with its nodes, under the test root's host folder.
class BoardSearchTest : public HostToolTest {
protected:
    // A hidraw device whose node leads to `node` (a board path) when one is given.
    void add_hidraw(const std::string& name, unsigned vendor, unsigned product, int interface,
                    const std::string& serial, const std::string& node = "")
    {
        char id[32];
        snprintf(id, sizeof id, "0003:%08X:%08X", vendor, product);
        write_file("/host/sys/class/hidraw/" + name + "/device/uevent",
                   "DRIVER=hid-generic\nHID_ID=" + std::string(id) + "\nHID_NAME=some device\nHID_PHYS=usb-0000:00:14.0-2/input" +
                       std::to_string(interface) + "\nHID_UNIQ=" + serial + "\n");
        make_dir("/host/dev");
        if (!node.empty()) {
            ASSERT_EQ(symlink(path(node).c_str(), path("/host/dev/" + name).c_str()), 0);
        }
    }

    void add_board(const std::string& name, int interface, const std::string& serial, const std::string& node = "")
    {
        add_hidraw(name, TAVIMORO_USB_VID, TAVIMORO_USB_PID, interface, serial, node);
    }

    // Runs the tool with no device named; `environment` holds assignments put before it.
    static tool_result search(const std::string& args, const std::string& environment = "")
    {
        return board_test::run_command("env -u TAVIMORO_DEVICE -u TAVIMORO_SERIAL " + environment + " " +
                                       TAVIMORO_HOST_TOOL + " " + args);
    }

    static size_t lines(const std::string& text) { return std::count(text.begin(), text.end(), '\n'); }
};

TEST_F(BoardSearchTest, FindsTheBoardByItsUsbIdentityAndLinkInterface)
{
    add_hidraw("hidraw0", 0x046d, 0xc31c, TAVIMORO_USB_LINK_INTERFACE, "", "/sim/nowhere");  // a keyboard
    add_board("hidraw1", TAVIMORO_USB_LINK_INTERFACE + 1, "S1", "/sim/nowhere");      // the board's other function
    add_board("hidraw2", TAVIMORO_USB_LINK_INTERFACE, "S1", "/sim/host.sock");
    add_hidraw("hidraw3", TAVIMORO_USB_VID, TAVIMORO_USB_PID + 1, TAVIMORO_USB_LINK_INTERFACE, "", "/sim/nowhere");

    tool_result result = search("info --title 'Star Fighter' --title2 'Star Fighter'");
    EXPECT_EQ(result.status, 0) << result.output;
    ASSERT_TRUE(wait_events(1));
    const auto* info = static_cast<const banner_info_msg*>(events()[0].user.data1);
    EXPECT_STREQ(info->title2, "\"Star Fighter\"");

    result = search("list");
    EXPECT_EQ(result.status, 0) << result.output;
    EXPECT_EQ(lines(result.output), 1u) << result.output;
    EXPECT_NE(result.output.find(path("/host/dev/hidraw2") + "  serial S1"), std::string::npos) << result.output;
}

TEST_F(BoardSearchTest, PicksAmongSeveralBoardsByTheirSerialNumber)
{
    UniqueFD mute = listen_socket(path("/sim/mute.sock"));
    ASSERT_TRUE(mute.valid());
    add_board("hidraw10", TAVIMORO_USB_LINK_INTERFACE, "A1", "/sim/host.sock");
    add_board("hidraw9", TAVIMORO_USB_LINK_INTERFACE, "B2", "/sim/mute.sock");

    tool_result result = search("state");
    EXPECT_EQ(result.status, 2) << result.output;
    EXPECT_NE(result.output.find("A1"), std::string::npos) << result.output;
    EXPECT_NE(result.output.find("B2"), std::string::npos) << result.output;
    EXPECT_NE(result.output.find("--serial"), std::string::npos) << result.output;

    // In the order of their node numbers.
    result = search("list");
    EXPECT_EQ(result.status, 0) << result.output;
    EXPECT_LT(result.output.find("hidraw9"), result.output.find("hidraw10")) << result.output;

    result = search("--serial A1 state");
    EXPECT_EQ(result.status, 0) << result.output;
    result = search("state", "TAVIMORO_SERIAL=A1");
    EXPECT_EQ(result.status, 0) << result.output;
    result = search("--serial C3 state");
    EXPECT_EQ(result.status, 3) << result.output;
    EXPECT_NE(result.output.find("no board with serial number C3"), std::string::npos) << result.output;
}

TEST_F(BoardSearchTest, WithNoBoardItSaysToPlugItIn)
{
    for (bool keyboard : {false, true}) {
        if (keyboard)
            add_hidraw("hidraw0", 0x046d, 0xc31c, 0, "", "/sim/nowhere");
        for (const char* command : {"info --title X", "list"}) {
            tool_result result = search(command);
            EXPECT_EQ(result.status, 3) << command << ": " << result.output;
            EXPECT_NE(result.output.find("no marquee board found: plug it into a USB port"), std::string::npos)
                << result.output;
        }
    }
}

TEST_F(BoardSearchTest, WithoutAccessToTheNodeItSaysToInstallTheUdevRule)
{
    add_board("hidraw4", TAVIMORO_USB_LINK_INTERFACE, "");
    write_file("/host/dev/hidraw4", "");
    ASSERT_EQ(chmod(path("/host/dev/hidraw4").c_str(), 0600), 0);
    // Root opens any file: the tool then runs as nobody, who may pass through the test root.
    std::string as_user;
    if (geteuid() == 0) {
        ASSERT_EQ(chmod(board_test::process_root().c_str(), 0711), 0);
        as_user = "setpriv --reuid=65534 --regid=65534 --clear-groups";
    } else {
        ASSERT_EQ(chmod(path("/host/dev/hidraw4").c_str(), 0), 0);
    }
    tool_result result = search("info --title X", as_user);
    EXPECT_EQ(result.status, 3) << result.output;
    EXPECT_NE(result.output.find("no permission to use the board at " + path("/host/dev/hidraw4") +
                                 ": install the udev rule 70-tavimoro.rules"),
              std::string::npos)
        << result.output;

    result = search("list", as_user);
    EXPECT_EQ(result.status, 0) << result.output;
    EXPECT_NE(result.output.find("serial (none)"), std::string::npos) << result.output;
    EXPECT_NE(result.output.find("(no permission: install the udev rule"), std::string::npos) << result.output;
    chmod(board_test::process_root().c_str(), 0700);
}

TEST_F(BoardSearchTest, TheEnvironmentNamesTheLinkAndTheOptionComesFirst)
{
    tool_result result = search("info --title 'Road Racer'", "TAVIMORO_DEVICE=" + shell_quote(path("/sim/host.sock")));
    EXPECT_EQ(result.status, 0) << result.output;
    ASSERT_TRUE(wait_events(1));
    EXPECT_STREQ(static_cast<const banner_info_msg*>(events()[0].user.data1)->title, "\"Road Racer\"");

    result = search("--device " + shell_quote(path("/sim/host.sock")) + " state",
                    "TAVIMORO_DEVICE=" + shell_quote(path("/sim/nowhere")));
    EXPECT_EQ(result.status, 0) << result.output;
}

// The rule opens to the user the very device the tool searches for.
TEST(UdevRule, MatchesTheBoardsUsbIdentityAndOpensTheNode)
{
    std::ifstream in(UDEV_RULE);
    std::string rule, line;
    while (std::getline(in, line))
        if (!line.empty() && line[0] != '#')
            rule += line;
    char vendor[16], product[16];
    snprintf(vendor, sizeof vendor, "%04x", TAVIMORO_USB_VID);
    snprintf(product, sizeof product, "%04x", TAVIMORO_USB_PID);
    EXPECT_NE(rule.find("SUBSYSTEM==\"hidraw\""), std::string::npos) << rule;
    EXPECT_NE(rule.find("ATTRS{idVendor}==\"" + std::string(vendor) + "\""), std::string::npos) << rule;
    EXPECT_NE(rule.find("ATTRS{idProduct}==\"" + std::string(product) + "\""), std::string::npos) << rule;
    EXPECT_NE(rule.find("TAG+=\"uaccess\""), std::string::npos) << rule;
    EXPECT_NE(rule.find("GROUP=\"tavimoro\""), std::string::npos) << rule;
}

} // namespace
