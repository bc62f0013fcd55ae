// Misc-partition writer and the player's recovery hand-off, with every block read and write the
// partition sees recorded.
#include "device/update.h"
#include "device/wmisc.h"
#include "tests/device/misc_image.h"
#include "tests/support/board_fixture.h"
#include "sim/sim_board.h"

#include <sys/types.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

using board_test::BoardRootTest;
using misc_test::expected_misc_image;
using misc_test::PAGE;

namespace {

struct Access {
    off_t offset;
    size_t length;
    bool operator==(const Access&) const = default;
};

bool recording = false;
std::vector<Access> reads;
std::vector<Access> writes;
// The write (counted from 1 while recording) that fails with EIO; 0 for none.
size_t failing_write = 0;

} // namespace

// The test binary is linked with --wrap for pread64 and pwrite64, the names pread and pwrite
// take under large-file support: every call lands here first.
static_assert(sizeof(off_t) == 8, "the build must have large-file support");
extern "C" {
ssize_t __real_pread64(int fd, void* buf, size_t count, off_t offset);
ssize_t __real_pwrite64(int fd, const void* buf, size_t count, off_t offset);

ssize_t __wrap_pread64(int fd, void* buf, size_t count, off_t offset)
{
    if (recording)
        reads.push_back({offset, count});
    return __real_pread64(fd, buf, count, offset);
}

ssize_t __wrap_pwrite64(int fd, const void* buf, size_t count, off_t offset)
{
    if (recording) {
        writes.push_back({offset, count});
        if (writes.size() == failing_write) {
            errno = EIO;
            return -1;
        }
    }
    return __real_pwrite64(fd, buf, count, offset);
}
}

namespace {

constexpr const char* MISC = "/dev/rknand_misc";
constexpr const char* ONLINE_PACKAGE = "/vorlix_update_online.img";

struct FileCloser {
    void operator()(FILE* file) const { fclose(file); }
};
using File = std::unique_ptr<FILE, FileCloser>;

class WmiscTest : public BoardRootTest {
protected:
    void SetUp() override
    {
        BoardRootTest::SetUp();
        // Old contents that must not survive a record write.
        write_file(MISC, std::string(PAGES_SIZE, '\xff'));
        reads.clear();
        writes.clear();
        failing_write = 0;
        recording = true;
    }
    void TearDown() override
    {
        recording = false;
        BoardRootTest::TearDown();
    }

    static constexpr size_t PAGES_SIZE = 3 * PAGE;

    static File open_misc() { return File(fopen(path(MISC).c_str(), "r+b")); }

    static std::string patterned(size_t size)
    {
        std::string data(size, '\0');
        for (size_t i = 0; i < size; i++)
            data[i] = static_cast<char>('a' + i % 23);
        return data;
    }

    static std::string captured(const std::function<void()>& run)
    {
        testing::internal::CaptureStdout();
        run();
        return testing::internal::GetCapturedStdout();
    }
};

TEST_F(WmiscTest, RecordIsThreeWholePages)
{
    std::string log = captured([] { EXPECT_EQ(writeCmdToMisc(), 1); });
    EXPECT_EQ(read_file(MISC), expected_misc_image(ONLINE_PACKAGE));
    EXPECT_EQ(writes, (std::vector<Access>{{0, PAGE}, {PAGE, PAGE}, {2 * PAGE, PAGE}}));
    EXPECT_TRUE(reads.empty());
    EXPECT_NE(log.find("fopen device:(" + path(MISC) + ")\n"), std::string::npos) << log;
    EXPECT_NE(log.find("Before strcat the recoverycmd is :recovery\n"), std::string::npos) << log;
    EXPECT_NE(log.find("After strcat the recoverycmd is :recovery\n--update_rkimage=/mnt/usb_storage/vorlix_update_online.img\n"),
              std::string::npos)
        << log;
    EXPECT_NE(log.find("write misc success"), std::string::npos) << log;
}

TEST_F(WmiscTest, PartialBlocksAreReadMergedAndRewritten)
{
    std::string before = read_file(MISC);
    File stream = open_misc();
    ASSERT_TRUE(stream);
    ASSERT_EQ(fseek(stream.get(), 20000, SEEK_SET), 0);
    std::string data = patterned(100);
    EXPECT_EQ(rk29_fwrite(data.data(), 100, 1, stream.get()), 1u);
    EXPECT_EQ(ftell(stream.get()), 20100);
    EXPECT_EQ(reads, (std::vector<Access>{{PAGE, PAGE}}));
    EXPECT_EQ(writes, (std::vector<Access>{{PAGE, PAGE}}));
    std::string expected = before;
    expected.replace(20000, 100, data);
    EXPECT_EQ(read_file(MISC), expected);

    // Unaligned at both ends, over three blocks, in 4-byte elements.
    reads.clear();
    writes.clear();
    ASSERT_EQ(fseek(stream.get(), 100, SEEK_SET), 0);
    data = patterned(40000);
    EXPECT_EQ(rk29_fwrite(data.data(), 4, 10000, stream.get()), 10000u);
    EXPECT_EQ(ftell(stream.get()), 40100);
    EXPECT_EQ(reads, (std::vector<Access>{{0, PAGE}, {2 * PAGE, PAGE}}));
    EXPECT_EQ(writes, (std::vector<Access>{{0, PAGE}, {PAGE, PAGE}, {2 * PAGE, PAGE}}));
    expected.replace(100, 40000, data);
    EXPECT_EQ(read_file(MISC), expected);
}

TEST_F(WmiscTest, FailedBlocksStopTheWrite)
{
    std::string data = patterned(PAGES_SIZE);
    EXPECT_EQ(rk29_fwrite(data.data(), 0x10000, 0x10000, stdout), 0u) << "a total beyond the size type";
    EXPECT_TRUE(writes.empty());

    // A head block that cannot be read whole: nothing is written.
    write_file(MISC, std::string(17000, 'z'));
    File stream = open_misc();
    ASSERT_TRUE(stream);
    ASSERT_EQ(fseek(stream.get(), 16500, SEEK_SET), 0);
    EXPECT_EQ(rk29_fwrite(data.data(), 100, 1, stream.get()), 0u);
    EXPECT_EQ(ftell(stream.get()), 16500);
    EXPECT_TRUE(writes.empty());
    EXPECT_EQ(read_file(MISC), std::string(17000, 'z'));

    // A block write that fails: only the whole elements before it count.
    write_file(MISC, std::string(PAGES_SIZE, '\0'));
    failing_write = 2;
    ASSERT_EQ(fseek(stream.get(), 0, SEEK_SET), 0);
    EXPECT_EQ(rk29_fwrite(data.data(), PAGE, 3, stream.get()), 1u);
    EXPECT_EQ(ftell(stream.get()), static_cast<long>(PAGE));
    EXPECT_EQ(writes, (std::vector<Access>{{0, PAGE}, {PAGE, PAGE}})) << "nothing is written after the failed block";
}

TEST_F(WmiscTest, MissingOrFailingPartitionIsAnError)
{
    remove(MISC);
    std::string log = captured([] { EXPECT_EQ(writeCmdToMisc(), 0); });
    EXPECT_NE(log.find("Can't open misc\n(No such file or directory)\n"), std::string::npos) << log;
    EXPECT_NE(log.find("write misc error:"), std::string::npos) << log;
    EXPECT_FALSE(std::filesystem::exists(path(MISC))) << "the partition must never be created";

    write_file(MISC, std::string(PAGES_SIZE, '\xff'));
    failing_write = 1;
    log = captured([] { EXPECT_EQ(setMisc("--update_rkimage=/mnt/usb_storage/x.img"), -1); });
    EXPECT_NE(log.find("Failed writing \n(Input/output error)\n"), std::string::npos) << log;

    // An argument that does not fit the recovery text is refused, not cut.
    writes.clear();
    failing_write = 0;
    EXPECT_EQ(setMisc(std::string(91, 'a').c_str()), -1);
    EXPECT_TRUE(writes.empty());
    EXPECT_EQ(setMisc(std::string(90, 'a').c_str()), 0);
}

TEST_F(WmiscTest, PackageIsTakenFromTheFirstDiskListed)
{
    char found[256] = {};
    EXPECT_EQ(find_package_on_disks(ONLINE_PACKAGE, found), 0);

    write_file("/media/loose-file", "");
    add_disk("usbhd-sdb1", 1);
    std::vector<std::string> disks;
    for (const auto& entry : std::filesystem::directory_iterator(path("/media")))
        if (entry.is_directory())
            disks.push_back(entry.path().filename().string());
    for (const std::string& disk : disks)
        write_file("/media/" + disk + ONLINE_PACKAGE, "package");
    std::string log = captured([&] { EXPECT_EQ(find_package_on_disks(ONLINE_PACKAGE, found), 1); });
    std::string first = path("/media/" + disks[0] + ONLINE_PACKAGE);
    EXPECT_EQ(std::string(found), first);
    EXPECT_NE(log.find("found package of " + first + ".\n"), std::string::npos) << log;
}

TEST_F(WmiscTest, HandOffWritesTheRecordAndReboots)
{
    std::string log = captured([] { EXPECT_EQ(update(), -1); });
    EXPECT_NE(log.find("no found /vorlix_update_online.img\n"), std::string::npos) << log;
    EXPECT_TRUE(writes.empty());
    EXPECT_EQ(reboot_runs(), 0);

    write_file(std::string("/media/") + SIM_DEFAULT_DISK + ONLINE_PACKAGE, "package");
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(update(), 0);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::seconds(2)) << "recovery gets its pause";
    EXPECT_EQ(read_file(MISC), expected_misc_image(ONLINE_PACKAGE));
    EXPECT_EQ(reboot_runs(), 1);
}

TEST_F(WmiscTest, HandOffStopsWhereItFails)
{
    write_file(std::string("/media/") + SIM_DEFAULT_DISK + ONLINE_PACKAGE, "package");
    remove(MISC);
    std::string log = captured([] { EXPECT_EQ(update(), -1); });
    EXPECT_NE(log.find("write misc error.\n"), std::string::npos) << log;
    EXPECT_EQ(reboot_runs(), 0);

    write_file(MISC, std::string(PAGES_SIZE, '\xff'));
    set_reboot_status(1);
    log = captured([] { EXPECT_EQ(update(), -1); });
    EXPECT_NE(log.find("reboot failed.\n"), std::string::npos) << log;
    EXPECT_EQ(reboot_runs(), 1);
    EXPECT_EQ(read_file(MISC), expected_misc_image(ONLINE_PACKAGE)) << "the record stays written";
}

} // namespace
