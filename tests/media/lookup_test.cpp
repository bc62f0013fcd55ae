// Media lookup on real directory trees under the board root.
#include "media/media_lookup.h"
#include "tests/support/board_fixture.h"

#include <cstring>
#include <string>

using board_test::BoardRootTest;

namespace {

constexpr const char* TREE = "/media/usbhd-sda1/vorlix/vorlix";

class LookupTest : public BoardRootTest {
protected:
    banner_bar_t info = {};

    static std::string at(const std::string& name) { return path(std::string(TREE) + "/" + name); }
    static void touch(const std::string& name) { write_file(std::string(TREE) + "/" + name, "x"); }

    int find(const char* title) { return find_image_video_with_title(path(TREE).c_str(), title, &info); }
    int find_rom(const char* title, const char* romname)
    {
        return find_image_video_with_title_romname(path(TREE).c_str(), title, romname, &info);
    }
};

TEST_F(LookupTest, ExtensionAndBaseNameAreLowerCasedKeysAreNot)
{
    touch("Sonic.MP4");
    touch("SONIC.Png");
    EXPECT_EQ(find("sonic"), 2);
    EXPECT_EQ(info.video_file, at("Sonic.MP4"));
    EXPECT_EQ(info.image_file, at("SONIC.Png"));

    banner_bar_t untouched = {};
    info = {};
    EXPECT_EQ(find("Sonic"), 0);
    EXPECT_EQ(memcmp(&info, &untouched, sizeof info), 0);
}

TEST_F(LookupTest, OnlyTheVariantsOwnExtensionsAndExactBaseNamesMatch)
{
    for (const char* name : {"sonic.avi", "sonic.mpeg", "sonic.jpeg", "sonic.mov", "sonic.backup.mp4",
                             ".mp4", "sonic", "sonicmp4", "sonic.jpg.txt"})
        touch(name);
    EXPECT_EQ(find("sonic"), 0);
    EXPECT_STREQ(info.video_file, "");
    EXPECT_STREQ(info.image_file, "");

    EXPECT_EQ(find_rom("sonic", "nothing"), 1);
    EXPECT_EQ(info.video_file, at("sonic.avi"));
    EXPECT_STREQ(info.image_file, "");
}

TEST_F(LookupTest, RomNameMatchesAsWellAsTheTitle)
{
    touch("sonic2.jpg");
    touch("sonic_the_hedgehog.mp4");
    EXPECT_EQ(find_rom("sonic_the_hedgehog", "sonic2"), 2);
    EXPECT_EQ(info.video_file, at("sonic_the_hedgehog.mp4"));
    EXPECT_EQ(info.image_file, at("sonic2.jpg"));
}

TEST_F(LookupTest, SubdirectoriesFillTheRecordButAreNotCounted)
{
    touch("a/b/sonic.mp4");
    touch("sonic.png");
    EXPECT_EQ(find("sonic"), 1);
    EXPECT_EQ(info.video_file, at("a/b/sonic.mp4"));
    EXPECT_EQ(info.image_file, at("sonic.png"));
}

TEST_F(LookupTest, FilledFieldsAreKept)
{
    touch("sonic.mp4");
    touch("sonic.jpg");
    strcpy(info.video_file, "/earlier/root/sonic.mp4");
    EXPECT_EQ(find("sonic"), 1);
    EXPECT_STREQ(info.video_file, "/earlier/root/sonic.mp4");
    EXPECT_EQ(info.image_file, at("sonic.jpg"));
}

TEST_F(LookupTest, MissingRootGivesMinusOneAndTheMessage)
{
    std::string missing = path("/media/usbhd-sda1/vorlix/ext");
    testing::internal::CaptureStdout();
    int found = find_image_video_with_title(missing.c_str(), "sonic", &info);
    std::string log = testing::internal::GetCapturedStdout();
    EXPECT_EQ(found, -1);
    EXPECT_EQ(log, "find_image_video_with_title: Failed to open " + missing + "\n");

    testing::internal::CaptureStdout();
    EXPECT_EQ(find_image_video_with_title_romname(missing.c_str(), "sonic", "s", &info), -1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "find_image_video_with_title_romname: Failed to open " + missing + "\n");
}

TEST_F(LookupTest, PathsTooLongForTheRecordAreSkipped)
{
    // The deep directory and its short entry fit 255 characters; the long entry's path does not.
    std::string deep = "d";
    while (path(std::string(TREE) + "/" + deep).size() < 236)
        deep += "/dddddddd";
    std::string long_name = std::string(40, 's');
    touch(deep + "/sonic.jpg");
    touch(deep + "/" + long_name + ".mp4");
    ASSERT_LE(at(deep + "/sonic.jpg").size(), 255u);
    EXPECT_EQ(find_rom(long_name.c_str(), "sonic"), 0);
    EXPECT_EQ(info.image_file, at(deep + "/sonic.jpg"));
    EXPECT_STREQ(info.video_file, "");
}

} // namespace
