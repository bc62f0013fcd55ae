// Files from the host appear under their names only whole and verified, through the real player:
// cut, abandoned and bad transfers leave the previous file as it was, nothing that watches the
// disk ever acts on a part, and what a crash left half-written is cleared away.
#include "core/board_root.h"
#include "hostlink/crc32.h"
#include "tests/player/player_fixture.h"
#include "tests/player/raw_link.h"

#include <signal.h>

#include <vector>

namespace fs = std::filesystem;
using namespace player_test;
using board_test::wait_until;

namespace {

const std::string SECOND_DISK = "/media/usb2";
const std::string MISC = "/dev/rknand_misc";

class WholeFileTest : public PlayerProgramTest {
protected:
    void SetUp() override
    {
        PlayerProgramTest::SetUp();
        init_crc32_table();
    }

    // Hidden files anywhere on the disks: what a transfer or an unpack left half-done.
    static std::vector<std::string> hidden_files()
    {
        std::vector<std::string> names;
        for (const auto& entry : fs::recursive_directory_iterator(path("/media"))) {
            std::string name = entry.path().filename().string();
            if (entry.is_regular_file() && name[0] == '.' && entry.path().parent_path().filename() != ".assets")
                names.push_back(name);
        }
        return names;
    }

    // A whole transfer of `data` as `name`, verified with `crc`; the verify's status.
    static int transfer(RawLink& link, uint8_t prepare, const std::string& name, const std::string& data, uint32_t crc)
    {
        link.send(make_file_prepare(prepare, uint32_t(data.size()), packet_count(data.size()), name));
        if (link.reply(prepare) != 0)
            return -1;
        link.send_payload(prepare + 1, data);
        link.send(make_verify(prepare + 2, crc));
        return link.reply(prepare + 2);
    }

    static uint32_t crc_of(const std::string& data)
    {
        return crc32_calc(reinterpret_cast<const uint8_t*>(data.data()), data.size());
    }

    // Announces `size` bytes as `name` and sends only the first third of them.
    static void start_cut_transfer(RawLink& link, uint8_t prepare, const std::string& name, size_t size)
    {
        link.send(make_file_prepare(prepare, uint32_t(size), packet_count(size), name));
        ASSERT_EQ(link.reply(prepare), 0) << name;
        link.send_payload(prepare + 1, std::string(size / 3, 'x'));
    }
};

TEST_F(WholeFileTest, CutAbandonedAndBadTransfersNeverTakeTheNameAndTheOldFileStays)
{
    write_file(DISK + "/notes.txt", "old notes");
    const std::string misc = read_file(MISC);
    start_player();
    RawLink link(path("/sim/host.sock"));
    ASSERT_TRUE(link.valid());

    // A third of an update image, then the host goes quiet: the update watch looks several times
    // while it waits and never sees it, and the player gives the transfer up.
    start_cut_transfer(link, CMD_FILE_PREPARE, "vorlix_update.img", 6000);
    ASSERT_TRUE(wait_for_log("the host stopped sending", 25s)) << log();
    EXPECT_TRUE(wait_until([] { return hidden_files().empty(); }, STEP_TIMEOUT));
    EXPECT_FALSE(fs::exists(path(DISK + "/vorlix_update.img")));
    EXPECT_FALSE(fs::exists(path("/data/firmware_md5sum")));
    EXPECT_EQ(log().find("update img"), std::string::npos) << log();

    // A bad CRC keeps the file the name had; a good one replaces it.
    EXPECT_EQ(transfer(link, CMD_FILE_PREPARE, "notes.txt", "new notes", crc_of("new notes") ^ 1), 1);
    EXPECT_EQ(read_file(DISK + "/notes.txt"), "old notes");
    EXPECT_EQ(transfer(link, CMD_FILE_PREPARE, "notes.txt", "new notes", crc_of("new notes")), 0);
    EXPECT_EQ(read_file(DISK + "/notes.txt"), "new notes");

    // A firmware image cut off by a new prepare: the firmware start finds nothing to hand over.
    start_cut_transfer(link, CMD_FW_PREPARE, "vorlix_update_online.img", 6000);
    start_cut_transfer(link, CMD_FILE_PREPARE, "other.bin", 600);
    link.send(make_firmware_update("vorlix_update_online.img"));
    EXPECT_EQ(link.reply(CMD_FIRMWARE_UPDATE), 1);
    ASSERT_TRUE(wait_for_log("no found")) << log();
    EXPECT_EQ(reboot_runs(), 0) << log();
    EXPECT_EQ(read_file(MISC), misc);
    ASSERT_EQ(stop_player(), 0) << log();
    EXPECT_EQ(hidden_files(), std::vector<std::string>{}) << "the reader's end drops its transfer";
    EXPECT_EQ(fs::exists(path(DISK + "/vorlix_update.img")) + fs::exists(path(DISK + "/other.bin")), 0);

    // A whole update image is acted on, and its record is written whole.
    write_file("/sim/update.img", "whole image");
    start_player();
    ASSERT_EQ(host("send " + shell_quote(path("/sim/update.img")) + " --name vorlix_update.img"), 0);
    ASSERT_TRUE(wait_until([&] { return reboot_runs() == 1; }, STEP_TIMEOUT)) << log();
    EXPECT_EQ(read_file("/data/firmware_md5sum").size(), 33u);
}

TEST_F(WholeFileTest, WhatACrashLeftHalfWrittenIsRemovedAtStartAndWhenADiskAppears)
{
    write_file(DISK + "/big.bin", "previous");
    start_player();
    {
        RawLink link(path("/sim/host.sock"));
        ASSERT_TRUE(link.valid());
        start_cut_transfer(link, CMD_FILE_PREPARE, "big.bin", 60000);
        ASSERT_TRUE(wait_until([&] { return hidden_files().size() == 1; }, STEP_TIMEOUT));
        kill(program_, SIGKILL);
        wait_exit(STEP_TIMEOUT);
    }
    EXPECT_EQ(read_file(DISK + "/big.bin"), "previous");
    // An unpack cut in the middle leaves its entry under the unpacker's hidden name.
    write_file(PRODUCT + "/vorlix/.safewriteQ1w2E3", "half an entry");

    start_player();
    EXPECT_TRUE(wait_for_log("2 unfinished files removed from " + path(DISK))) << log();
    EXPECT_EQ(hidden_files(), std::vector<std::string>{});
    EXPECT_EQ(read_file(DISK + "/big.bin"), "previous");

    write_file(SECOND_DISK + "/.game.png.tavimoro-part", "half a picture");
    EXPECT_TRUE(wait_for_log("1 unfinished files removed from " + path(SECOND_DISK))) << log();
    EXPECT_EQ(hidden_files(), std::vector<std::string>{});
}

} // namespace
