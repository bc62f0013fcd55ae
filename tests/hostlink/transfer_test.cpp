// File, firmware and package transfers end to end through the reader thread, with the space
// rules, the name rules and the unpack.
#include "core/events.h"
#include "hostlink/crc32.h"
#include "tests/hostlink/link_harness.h"
#include "sim/sim_board.h"

#include <cstdlib>
#include <cstring>
#include <filesystem>

namespace {

using namespace hostlink_test;
const std::string DEFAULT_DISK = SIM_DEFAULT_DISK;

const std::string DISK = "/media/" + DEFAULT_DISK;
constexpr long KIB_PER_MIB = 1024;

class TransferTest : public HostLinkTest {
protected:
    void SetUp() override
    {
        HostLinkTest::SetUp();
        init_crc32_table();
    }

    static bool exists(const std::string& board) { return std::filesystem::exists(path(board)); }

    // A zip archive holding `files` (name, contents), made with Python's zipfile, which flags
    // non-ASCII names as UTF-8 as most zip tools do.
    std::string make_zip(const std::vector<std::pair<std::string, std::string>>& files)
    {
        make_dir("/sim/zip");
        for (const auto& [name, contents] : files)
            write_file("/sim/zip/" + name, contents);
        write_file("/sim/zip.py", "import os, sys, zipfile\n"
                                  "with zipfile.ZipFile(sys.argv[1], 'w') as z:\n"
                                  "    for d, _, fs in os.walk('.'):\n"
                                  "        for f in fs: z.write(os.path.join(d, f))\n");
        std::string command = "cd " + path("/sim/zip") + " && python3 ../zip.py ../package.zip";
        EXPECT_EQ(system(command.c_str()), 0);
        return read_file("/sim/package.zip");
    }
};

TEST_F(TransferTest, StoresATenThousandByteFileIn179Packets)
{
    std::string data = pattern(10000);
    ASSERT_EQ(prepare(CMD_FILE_PREPARE, 10000, 179, "game.bin"), 0);
    send_payload(CMD_FILE_DATA, data);
    // Reports after the last packet, or past the count, must not touch the finished file.
    send(make_data(CMD_FILE_DATA, 0, "late", 4));
    send(make_data(CMD_FILE_DATA, 180, "beyond", 6));
    testing::internal::CaptureStdout();
    send(make_verify(CMD_FILE_VERIFY, crc32_calc(data.data(), data.size())));
    EXPECT_EQ(reply_status(CMD_FILE_VERIFY), 0);
    std::string log = testing::internal::GetCapturedStdout();
    EXPECT_NE(log.find("total_size=10000\n"), std::string::npos) << log;
    EXPECT_NE(log.find("packet_size=2\n"), std::string::npos);
    EXPECT_NE(log.find("remain_size=1808\n"), std::string::npos);
    EXPECT_EQ(read_file(DISK + "/game.bin"), data);
}

TEST_F(TransferTest, DropsOversizedPayloadsAndAWrongCrcKeepsTheFileTheNameHad)
{
    std::string data = pattern(100);
    ASSERT_EQ(prepare(CMD_FILE_PREPARE, 100, 2, "file.bin"), 0);
    hid_report oversized = make_data(CMD_FILE_DATA, 0, data.data(), PAYLOAD_MAX);
    oversized[OFFSET_LENGTH] = 200;
    send(oversized);
    send_payload(CMD_FILE_DATA, data);
    send(make_verify(CMD_FILE_VERIFY, crc32_calc(data.data(), data.size())));
    EXPECT_EQ(reply_status(CMD_FILE_VERIFY), 0);
    EXPECT_EQ(read_file(DISK + "/file.bin"), data);

    ASSERT_EQ(prepare(CMD_FILE_PREPARE, 100, 2, "file.bin"), 0);
    send_payload(CMD_FILE_DATA, pattern(100, 3));
    send(make_verify(CMD_FILE_VERIFY, crc32_calc(data.data(), data.size()) ^ 1));
    EXPECT_EQ(reply_status(CMD_FILE_VERIFY), 1);
    EXPECT_EQ(read_file(DISK + "/file.bin"), data);
    EXPECT_FALSE(exists(DISK + "/.file.bin.tavimoro-part"));
}

TEST_F(TransferTest, ZeroPacketsAnnounceAnEmptyFile)
{
    write_file(DISK + "/empty.bin", "old contents");
    ASSERT_EQ(prepare(CMD_FILE_PREPARE, 0, 0, "empty.bin"), 0);
    send(make_data(CMD_FILE_DATA, 0, "stray", 5));
    send(make_verify(CMD_FILE_VERIFY, 0));
    EXPECT_EQ(reply_status(CMD_FILE_VERIFY), 0);
    EXPECT_EQ(read_file(DISK + "/empty.bin"), "");
}

TEST_F(TransferTest, SpaceRulesOfTheThreeFamilies)
{
    set_disk_free(DEFAULT_DISK, 1);
    EXPECT_EQ(prepare(CMD_FILE_PREPARE, 2047, 37, "a.bin"), 2);
    EXPECT_EQ(prepare(CMD_FW_PREPARE, 2047, 37, "a.bin"), 0);
    set_disk_free(DEFAULT_DISK, 250 * KIB_PER_MIB);
    EXPECT_EQ(prepare(CMD_PACKAGE_PREPARE, 100 * 1024 * 1024, 1872458, "p.zip"), 2);
    EXPECT_EQ(prepare(CMD_PACKAGE_PREPARE, 80 * 1024 * 1024, 1497966, "p.zip"), 0);
    // Every disk full: an answer of 0 KiB names no disk to write to.
    set_disk_free(DEFAULT_DISK, 0);
    EXPECT_EQ(prepare(CMD_FW_PREPARE, 100, 2, "a.bin"), 1);
    remove(DISK);
    EXPECT_EQ(prepare(CMD_FILE_PREPARE, 100, 2, "a.bin"), 1);
}

// The size field is an unsigned 32-bit number: files of 2 GiB and more (firmware images, long
// videos) are weighed against the free space and logged as they are, also where long is 32 bits.
TEST_F(TransferTest, FilesOfTwoGibibytesAndMoreAreWeighedAndLoggedAsTheyAre)
{
    constexpr uint32_t THREE_GIB = 3u << 30;
    set_disk_free(DEFAULT_DISK, 4LL << 20);
    testing::internal::CaptureStdout();
    EXPECT_EQ(prepare(CMD_FILE_PREPARE, THREE_GIB, THREE_GIB / PAYLOAD_MAX + 1, "big.img"), 0);
    std::string log = testing::internal::GetCapturedStdout();
    EXPECT_NE(log.find("file size: 3221225472\n"), std::string::npos) << log;
    set_disk_free(DEFAULT_DISK, 2LL << 20);
    EXPECT_EQ(prepare(CMD_FILE_PREPARE, THREE_GIB, THREE_GIB / PAYLOAD_MAX + 1, "big.img"), 2);
}

TEST_F(TransferTest, RefusesNamesThatLeaveTheDisk)
{
    for (const char* name : {"../escape.bin", "dir/file.bin", ".", "..", ""})
        EXPECT_EQ(prepare(CMD_FILE_PREPARE, 10, 1, name), 1) << name;
    hid_report unterminated = make_file_prepare(CMD_FILE_PREPARE, 10, 1, "");
    memset(&unterminated[OFFSET_NAME], 'x', PREPARE_NAME_FIELD);
    send(unterminated);
    EXPECT_EQ(reply_status(CMD_FILE_PREPARE), 1);
    EXPECT_EQ(read_file("/media/escape.bin"), "");
}

TEST_F(TransferTest, FirmwareVerifyHandsThePathToTheMainThread)
{
    std::string image = pattern(3000);
    EXPECT_EQ(transfer(CMD_FW_PREPARE, "vorlix_update_online.img", image), 0);
    ASSERT_TRUE(wait_events(1));
    const SDL_Event& event = events()[0];
    EXPECT_EQ(event.type, static_cast<Uint32>(EVENT_FW_UPDATE));
    EXPECT_EQ(static_cast<const char*>(event.user.data1), path(DISK + "/vorlix_update_online.img"));
    EXPECT_EQ(read_file(DISK + "/vorlix_update_online.img"), image);
}

TEST_F(TransferTest, FirmwareStartAlwaysHandsOffToRecovery)
{
    // Before any transfer there is no directory to look in; recovery still gets its chance.
    send(make_firmware_update("vorlix_update_online.img"));
    EXPECT_EQ(reply_status(CMD_FIRMWARE_UPDATE), 1);

    EXPECT_EQ(transfer(CMD_FILE_PREPARE, "vorlix_update_online.img", pattern(2000)), 0);
    send(make_firmware_update("missing.img"));
    EXPECT_EQ(reply_status(CMD_FIRMWARE_UPDATE), 1);
    // update() found the package on the disk by itself and asked for the reboot.
    EXPECT_TRUE(board_test::wait_until([] { return reboot_runs() == 1; }, REPLY_TIMEOUT));

    send(make_firmware_update("vorlix_update_online.img"));
    EXPECT_EQ(reply_status(CMD_FIRMWARE_UPDATE), 0);
    EXPECT_TRUE(board_test::wait_until([] { return reboot_runs() == 2; }, REPLY_TIMEOUT));
}

TEST_F(TransferTest, GoodPackageIsUnpackedIntoTheProductDirectory)
{
    std::string zip = make_zip(
        {{"vorlix/star fighter.mp4", pattern(5000, 2)}, {"ext/notes.txt", "hello"}, {"vorlix/pokémon.png", "png"}});
    ASSERT_FALSE(exists(DISK + "/vorlix"));
    // A name with spaces and shell characters is a name, never a command.
    const std::string name = "media pack; touch INJECTED $(touch INJECTED2).zip";
    EXPECT_EQ(transfer(CMD_PACKAGE_PREPARE, name, zip), 0);
    EXPECT_EQ(reply_status(CMD_PACKAGE_UNPACKED), 0);
    ASSERT_TRUE(wait_events(4));
    EXPECT_EQ(event_types(), (std::vector<int>{EVENT_PACKAGE_TRANSMIT_START, EVENT_PACKAGE_TRANSMIT_END,
                                               EVENT_PACKAGE_DECOMPRESS_START, EVENT_PACKAGE_DECOMPRESS_END}));
    EXPECT_EQ(events()[1].user.code, 0);
    EXPECT_EQ(read_file(DISK + "/vorlix/vorlix/star fighter.mp4"), pattern(5000, 2));
    EXPECT_EQ(read_file(DISK + "/vorlix/ext/notes.txt"), "hello");
    EXPECT_EQ(read_file(DISK + "/vorlix/vorlix/pokémon.png"), "png");
    EXPECT_FALSE(exists(DISK + "/vorlix/" + name));
    EXPECT_FALSE(exists(DISK + "/vorlix/INJECTED"));
    EXPECT_FALSE(exists(DISK + "/vorlix/INJECTED2"));
}

TEST_F(TransferTest, BadPackageIsNeitherUnpackedNorAnsweredAsUnpacked)
{
    std::string zip = make_zip({{"vorlix/a.png", "png"}});
    ASSERT_EQ(prepare(CMD_PACKAGE_PREPARE, zip.size(), packet_count(zip.size()), "p.zip"), 0);
    send_payload(CMD_PACKAGE_DATA, zip);
    send(make_verify(CMD_PACKAGE_VERIFY, crc32_calc(zip.data(), zip.size()) + 1));
    EXPECT_EQ(reply_status(CMD_PACKAGE_VERIFY), 1);
    EXPECT_TRUE(silent());
    ASSERT_TRUE(wait_events(2));
    EXPECT_EQ(event_types(), (std::vector<int>{EVENT_PACKAGE_TRANSMIT_START, EVENT_PACKAGE_TRANSMIT_END}));
    EXPECT_EQ(events()[1].user.code, 1);
    EXPECT_FALSE(exists(DISK + "/vorlix/vorlix/a.png"));
}

TEST_F(TransferTest, FailedUnpackIsReportedAndKeepsThePackage)
{
    std::string not_a_zip = pattern(700);
    EXPECT_EQ(transfer(CMD_PACKAGE_PREPARE, "broken.zip", not_a_zip), 0);
    EXPECT_EQ(reply_status(CMD_PACKAGE_UNPACKED), 1);
    EXPECT_EQ(read_file(DISK + "/vorlix/broken.zip"), not_a_zip);
    ASSERT_TRUE(wait_events(4));
    EXPECT_EQ(events()[3].type, static_cast<Uint32>(EVENT_PACKAGE_DECOMPRESS_END));
}

} // namespace
