// The board root and shell quoting: board paths land under the root, quoted words stay words.
#include "core/board_root.h"
#include "core/common.h"
#include "tests/support/board_fixture.h"

#include <string>

using board_test::BoardRootTest;

namespace {

class BoardRootPathTest : public BoardRootTest {};

TEST_F(BoardRootPathTest, BoardPathsLiveUnderTheRoot)
{
    EXPECT_FALSE(board_root().empty());
    EXPECT_EQ(board_path("/dev/hidg1"), board_root() + "/dev/hidg1");
    EXPECT_EQ(read_file("/sys/class/drm/card0-HDMI-A-1/status"), "connected\n");
}

TEST_F(BoardRootPathTest, QuotedTextReachesTheShellAsOneWord)
{
    for (std::string text : {"plain", "two words", "it's", "$(echo run)", "`x`;|&<>*?", "back\\slash", "", "'"}) {
        char out[EXEC_CMD_OUT_SIZE] = {};
        std::string cmd = "printf %s " + shell_quote(text);
        exec_cmd(cmd.c_str(), out);
        EXPECT_EQ(std::string(out), text);
    }
}

TEST_F(BoardRootPathTest, StandInsAnswerForTheBoard)
{
    std::string reboot = shell_quote(path("/sbin/reboot"));
    EXPECT_EQ(system(reboot.c_str()), 0);
    EXPECT_EQ(reboot_runs(), 1);
    set_reboot_status(3);
    EXPECT_NE(system(reboot.c_str()), 0);
    EXPECT_EQ(reboot_runs(), 2);
    EXPECT_EQ(read_file("/dev/rknand_misc"), std::string(48 * 1024, '\0'));
}

} // namespace
