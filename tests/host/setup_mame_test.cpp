// setup's MAME step on trees laid out as a Debian system with MAME: the plugin where MAME reads
// plugins for each user who has run MAME, owned by that user, the user's own options kept, nothing
// changed by a dry run or a second run, and the tree as it was after --remove.
#include "host/link/setup_mame.h"
#include "tests/support/board_fixture.h"

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <string>

namespace {

namespace fs = std::filesystem;

const std::string TREE = "/host/tree";
const std::string SYSTEM_INI = "rompath $HOME/mame/roms\npluginspath             /usr/share/games/mame/plugins\n";
const std::string PLUGIN = TREE + "/home/pi/.mame/plugins/tavimoro";
constexpr uid_t PI = 1000;

class SetupMameTest : public board_test::BoardRootTest {
protected:
    void SetUp() override
    {
        BoardRootTest::SetUp();
        write_file(TREE + "/etc/mame/mame.ini", SYSTEM_INI);
        make_dir(TREE + "/home/pi/.mame/cfg");
        make_dir(TREE + "/home/bob");
        ASSERT_EQ(chown(path(TREE + "/home/pi/.mame").c_str(), PI, PI), 0);
    }

    // Every file and folder under the tree with its owner and mode, and a file's content.
    static std::map<std::string, std::string> tree()
    {
        std::map<std::string, std::string> state;
        for (const fs::directory_entry& entry : fs::recursive_directory_iterator(path(TREE))) {
            struct stat st;
            lstat(entry.path().c_str(), &st);
            std::string name = fs::relative(entry.path(), path(TREE)).string();
            state[name] = std::to_string(st.st_uid) + " " + std::to_string(st.st_mode) +
                          (S_ISREG(st.st_mode) ? ": " + read_file(TREE + "/" + name) : "");
        }
        return state;
    }

    // setup_mame's status and what it printed.
    static std::pair<int, std::string> setup(bool remove, bool dry_run)
    {
        testing::internal::CaptureStdout();
        int status = setup_mame(path(TREE), remove, dry_run);
        return {status, testing::internal::GetCapturedStdout()};
    }

    // Installs (a dry run first, which changes nothing), checks, installs again (nothing to do),
    // then removes: the tree is as it was.
    static void install_and_remove(const std::string& expected_mame_ini)
    {
        const auto before = tree();
        EXPECT_EQ(setup(false, true).first, 0);
        EXPECT_EQ(tree(), before);

        auto [status, output] = setup(false, false);
        EXPECT_EQ(status, 0) << output;
        for (const char* file : {"init.lua", "plugin.json"}) {
            std::ifstream source(std::string(TAVIMORO_SOURCE_MAME_PLUGIN) + "/" + file);
            EXPECT_EQ(read_file(PLUGIN + "/" + file), std::string(std::istreambuf_iterator<char>(source), {}));
            struct stat st;
            EXPECT_TRUE(stat(path(PLUGIN + "/" + file).c_str(), &st) == 0 && st.st_uid == PI) << file;
        }
        EXPECT_EQ(read_file(TREE + "/home/pi/.mame/mame.ini"), expected_mame_ini);
        EXPECT_NE(("\n" + read_file(TREE + "/home/pi/.mame/plugin.ini")).find("\ntavimoro                  1\n"), std::string::npos);
        // Only users who run MAME get it.
        EXPECT_FALSE(fs::exists(path(TREE + "/home/bob/.mame")));

        const auto installed = tree();
        EXPECT_EQ(setup(false, false), std::make_pair(0, std::string())) << "a second run changes nothing";
        EXPECT_EQ(tree(), installed);

        std::tie(status, output) = setup(true, false);
        EXPECT_EQ(status, 0) << output;
        EXPECT_EQ(tree(), before) << output;
    }
};

// The user has no mame.ini: one is made, with the system's pluginspath and the plugin's folder.
TEST_F(SetupMameTest, AUserWithoutOptionsOfHisOwnGetsOnlyThePluginsPath)
{
    write_file(TREE + "/home/pi/.mame/plugin.ini", "# PLUGINS OPTIONS\nhiscore                   1\n");
    install_and_remove("pluginspath             /usr/share/games/mame/plugins;/home/pi/.mame/plugins\n");
}

// The user's own mame.ini keeps its other options and folders, with or without the option.
TEST_F(SetupMameTest, AUsersOwnOptionsAreKept)
{
    for (const std::string& own : {std::string("video soft\n"), std::string("video soft\npluginspath /opt/mine;/usr/share\n")}) {
        write_file(TREE + "/home/pi/.mame/mame.ini", own);
        const bool has_path = own.find("pluginspath") != std::string::npos;
        install_and_remove(has_path ? "video soft\npluginspath /opt/mine;/usr/share;/home/pi/.mame/plugins\n"
                                    : own + "pluginspath             /usr/share/games/mame/plugins;/home/pi/.mame/plugins\n");
    }
}

// Another plugin in the same folder: --remove takes only ours, and the folder stays on the path.
TEST_F(SetupMameTest, RemoveLeavesTheUsersOtherPlugins)
{
    write_file(TREE + "/home/pi/.mame/plugins/mine/init.lua", "return {}\n");
    EXPECT_EQ(setup(false, false).first, 0);
    EXPECT_EQ(setup(true, false).first, 0);
    EXPECT_FALSE(fs::exists(path(PLUGIN)));
    EXPECT_TRUE(fs::exists(path(TREE + "/home/pi/.mame/plugins/mine/init.lua")));
    EXPECT_EQ(read_file(TREE + "/home/pi/.mame/mame.ini"),
              "pluginspath             /usr/share/games/mame/plugins;/home/pi/.mame/plugins\n");
    EXPECT_EQ(read_file(TREE + "/home/pi/.mame/plugin.ini"), "");
}

// setup runs as root in the user's folder: a link the user put there leads it nowhere else.
TEST_F(SetupMameTest, NothingIsWrittenThroughALinkInTheUsersFolder)
{
    make_dir("/host/elsewhere");
    fs::create_symlink(path("/host/elsewhere"), path(TREE + "/home/pi/.mame/plugins"));
    auto [status, output] = setup(false, false);
    EXPECT_EQ(status, 1) << output;
    EXPECT_TRUE(fs::is_empty(path("/host/elsewhere")));
    std::tie(status, output) = setup(true, false);
    EXPECT_TRUE(fs::is_empty(path("/host/elsewhere")));
}

} // namespace
