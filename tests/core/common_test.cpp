// Storage and shell utilities against real shells, the df stand-in and real md5sum.
#include "core/board_root.h"
#include "core/common.h"
#include "tests/support/board_fixture.h"

#include <cstring>
#include <string>

using board_test::BoardRootTest;

namespace {

class CommonTest : public BoardRootTest {};

std::string replaced(std::string text)
{
    replace_str_n(text.data());
    return text.c_str();
}

TEST_F(CommonTest, ExecCmdCapturesBoundedTerminatedOutput)
{
    char out[EXEC_CMD_OUT_SIZE];
    memset(out, 'x', sizeof out);
    EXPECT_EQ(exec_cmd("printf hello", out), 5);
    EXPECT_STREQ(out, "hello");

    memset(out, 'x', sizeof out);
    EXPECT_EQ(exec_cmd("head -c 10000 /dev/zero | tr '\\0' a", out), 4095);
    EXPECT_EQ(strlen(out), 4095u);

    EXPECT_EQ(exec_cmd("true", out), -1);
    EXPECT_EQ(exec_cmd(nullptr, out), -1);
    EXPECT_EQ(exec_cmd("printf ab", nullptr), 2);
}

TEST_F(CommonTest, Md5OfFilesWhatEverTheirNames)
{
    EXPECT_EQ(get_file_md5sum(path("/media/usbhd-sda1/missing.img").c_str()), nullptr);

    write_file("/media/usbhd-sda1/abc.img", "abc");
    const char* sum = get_file_md5sum(path("/media/usbhd-sda1/abc.img").c_str());
    ASSERT_NE(sum, nullptr);
    EXPECT_STREQ(sum, "900150983cd24fb0d6963f7d28e17f72");

    // A name from a USB disk is data, never a command.
    std::string hostile = "/media/usbhd-sda1/a b'$(touch pwned);`touch pwned2`\\x.img";
    write_file(hostile, "abc");
    sum = get_file_md5sum(path(hostile).c_str());
    ASSERT_NE(sum, nullptr);
    EXPECT_STREQ(sum, "900150983cd24fb0d6963f7d28e17f72");
    EXPECT_FALSE(file_exist("pwned"));
    EXPECT_FALSE(file_exist("pwned2"));
}

TEST_F(CommonTest, ParsesDfOutputShapes)
{
    EXPECT_EQ(parse_disk_free_size("/media/usbhd-sda1", nullptr), 0);

    const char* gnu = "Filesystem     1K-blocks    Used Available Use% Mounted on\n"
                      "/dev/sda1        7812864 1048576   6764288  14% /media/usbhd-sda1\n";
    EXPECT_EQ(parse_disk_free_size("/media/usbhd-sda1", gnu), 6764288);

    // A long device name makes df wrap: the figures stand on the next, indented line.
    const char* wrapped = "Filesystem           1K-blocks      Used Available Use% Mounted on\n"
                          "/dev/disk/by-uuid/0123456789abcdef-0123\n"
                          "                        7812864   1048576   6764288  14% /media/usbhd-sda1\n";
    EXPECT_EQ(parse_disk_free_size("/media/usbhd-sda1", wrapped), 6764288);

    // A 4 TB disk has more free KiB than a 32-bit long holds.
    const char* large = "Filesystem      1K-blocks  Used  Available Use% Mounted on\n"
                        "/dev/sda1      3907018584 65536 3906953048   1% /media/usbhd-sda1\n";
    EXPECT_EQ(parse_disk_free_size("/media/usbhd-sda1", large), 3906953048LL);

    EXPECT_EQ(parse_disk_free_size("/media/other", gnu), -1);
    EXPECT_EQ(parse_disk_free_size("/media/usbhd-sda1", "garbage /media/usbhd-sda1\n"), -1);
}

TEST_F(CommonTest, DiskFreeSizeThroughDf)
{
    set_disk_free("usbhd-sda1", 1234);
    EXPECT_EQ(get_disk_free_size(path("/media/usbhd-sda1").c_str()), 1234);
    // A path df does not know: nothing on standard output.
    EXPECT_EQ(get_disk_free_size(path("/media/nowhere").c_str()), -1);
}

TEST_F(CommonTest, FindAvailableDiskPicksFirstWithSpace)
{
    remove("/media/usbhd-sda1");
    char out[PATH_BUF_SIZE] = "untouched";
    EXPECT_EQ(find_available_disk(out), -1);
    EXPECT_STREQ(out, "untouched");

    // Plain files in /media are not disks.
    write_file("/media/notadisk", "x");
    EXPECT_EQ(find_available_disk(out), -1);

    add_disk("usbhd-sda1", 0);
    EXPECT_EQ(find_available_disk(out), 0);
    EXPECT_STREQ(out, "untouched");

    add_disk("usbhd-sdb1", 5000);
    EXPECT_EQ(find_available_disk(out), 5000);
    EXPECT_EQ(std::string(out), path("/media/usbhd-sdb1"));
    set_disk_free("usbhd-sdb1", 3906953048LL);
    EXPECT_EQ(find_available_disk(out), 3906953048LL);

    remove("/media");
    EXPECT_EQ(find_available_disk(out), -1);
}

TEST_F(CommonTest, StringConversions)
{
    EXPECT_EQ(replaced("a\\nb"), "a\nb");
    EXPECT_EQ(replaced("ends with \\"), "ends with \\");
    EXPECT_EQ(replaced("\\n\\n"), "\n\n");
    EXPECT_EQ(replaced("\\\\n"), "\\\n");
    EXPECT_EQ(replaced("keep\\t and \rCR"), "keep\\t and CR");
    EXPECT_EQ(replaced(""), "");

    char same_length[] = "x\\ny";
    replace_n(same_length);
    EXPECT_STREQ(same_length, "x\r\ny");

    char removed[] = "a-b--c-";
    remove_char(removed, '-');
    EXPECT_STREQ(removed, "abc");

    char mixed[] = "Star FIGHTER 2";
    str_tolower(mixed);
    EXPECT_STREQ(mixed, "star fighter 2");
}

TEST_F(CommonTest, FileExistAndPrintTime)
{
    EXPECT_EQ(file_exist(path("/media/usbhd-sda1").c_str()), 1);
    EXPECT_EQ(file_exist(path("/media/none").c_str()), 0);
    EXPECT_EQ(file_exist(nullptr), 0);

    testing::internal::CaptureStdout();
    print_time("unzip start");
    std::string line = testing::internal::GetCapturedStdout();
    const std::string arrow = "unzip start----------------------------------------------------------->";
    ASSERT_EQ(line.compare(0, arrow.size(), arrow), 0) << line;
    long long ms = std::stoll(line.substr(arrow.size()));
    EXPECT_GT(ms, 1'600'000'000'000LL);
    EXPECT_EQ(line.back(), '\n');
}

TEST_F(CommonTest, SystemVersionIsCutToFit)
{
    char version[8] = "old";
    remove("/emulator/version");
    EXPECT_EQ(get_system_version(version, sizeof version), -1);
    EXPECT_STREQ(version, "old");

    write_file("/emulator/version", "V2.1.0\n");
    char full[256];
    EXPECT_EQ(get_system_version(full, sizeof full), 0);
    EXPECT_STREQ(full, "V2.1.0\n");

    write_file("/emulator/version", "V2.1.0-a-very-long-build-name\n");
    EXPECT_EQ(get_system_version(version, sizeof version), 0);
    EXPECT_STREQ(version, "V2.1.0-");
}

} // namespace
