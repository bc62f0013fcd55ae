// tavimoro-host setup --root on small trees laid out as each frontend's system: the hooks where
// the frontend runs them, nothing changed by a second run, the tree as it was after --remove.
#include "tests/support/board_fixture.h"

#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <initializer_list>
#include <map>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

// Every file and folder under a tree: its type and mode, and a file's content.
using tree_state = std::map<std::string, std::string>;

class HostSetupTest : public board_test::BoardRootTest {
protected:
    static tree_state state_of(const std::string& tree)
    {
        tree_state state;
        for (const fs::directory_entry& entry : fs::recursive_directory_iterator(path(tree))) {
            struct stat st;
            lstat(entry.path().c_str(), &st);
            std::string board = tree + "/" + fs::relative(entry.path(), path(tree)).string();
            state[board] = std::to_string(st.st_mode) + (S_ISREG(st.st_mode) ? ":" + read_file(board) : "");
        }
        return state;
    }

    static board_test::command_result setup(const std::string& tree, const std::string& more = "")
    {
        return board_test::run_command("env -u TAVIMORO_DEVICE TAVIMORO_HOST_ROOT=" + path("/host") + " " +
                                       HOST_TOOL + " setup --root " + path(tree) + " " + more);
    }

    static bool executable(const std::string& board)
    {
        struct stat st;
        return stat(path(board).c_str(), &st) == 0 && S_ISREG(st.st_mode) && (st.st_mode & 0111) == 0111;
    }

    // Sets up `tree` (a dry run first, which changes nothing), checks that the hooks `installed`
    // are executable and what `check` checks, runs setup again (nothing changes), then --remove
    // (the tree is as it was).
    static void set_up_and_remove(const std::string& tree, const std::vector<std::string>& installed,
                                  const std::function<void(const std::string& output)>& check = nullptr)
    {
        const tree_state before = state_of(tree);
        board_test::command_result dry = setup(tree, "--dry-run");
        EXPECT_EQ(dry.status, 0) << dry.output;
        EXPECT_EQ(state_of(tree), before) << dry.output;

        board_test::command_result first = setup(tree);
        EXPECT_EQ(first.status, 0) << first.output;
        for (const std::string& hook : installed)
            EXPECT_TRUE(executable(tree + hook)) << hook << "\n" << first.output;
        if (check)
            check(first.output);
        const tree_state after = state_of(tree);
        board_test::command_result again = setup(tree);
        EXPECT_EQ(again.status, 0) << again.output;
        EXPECT_EQ(state_of(tree), after) << again.output;

        board_test::command_result removed = setup(tree, "--remove");
        EXPECT_EQ(removed.status, 0) << removed.output;
        EXPECT_EQ(state_of(tree), before) << removed.output;
    }
};

// Each of the frontend's events gets the hook in its own folder, where one hook serves several.
std::vector<std::string> event_hooks(const std::string& scripts, std::initializer_list<const char*> events)
{
    std::vector<std::string> hooks;
    for (const char* event : events)
        hooks.push_back(scripts + event + "/tavimoro.sh");
    return hooks;
}

TEST_F(HostSetupTest, BatoceraRecalboxEsDeAndAttractModeGetTheirHooksAndGiveThemBack)
{
    write_file("/batocera/usr/share/batocera/batocera.version", "41\n");
    make_dir("/batocera/userdata/system/configs/emulationstation");
    std::vector<std::string> batocera = event_hooks("/userdata/system/configs/emulationstation/scripts/",
                                                    {"game-selected", "system-selected", "game-start", "game-end",
                                                     "screensaver-start", "screensaver-stop"});
    batocera.push_back("/userdata/system/services/tavimoro");
    set_up_and_remove("/batocera", batocera);

    make_dir("/recalbox/recalbox/share/userscripts");
    set_up_and_remove("/recalbox", {"/recalbox/share/system/custom.sh"});

    make_dir("/esde/home/ann/ES-DE/gamelists");
    write_file("/esde/etc/group", "root:x:0:\nann:x:1000:\n");
    set_up_and_remove("/esde",
                      event_hooks("/home/ann/ES-DE/scripts/", {"game-select", "system-select", "game-start", "game-end",
                                                               "screensaver-start", "screensaver-end",
                                                               "screensaver-game-select"}),
                      [](const std::string&) {
                          EXPECT_EQ(read_file("/esde/etc/group"), "root:x:0:\nann:x:1000:\ntavimoro:x:999:ann\n");
                      });

    // Attract-Mode: the plug-in, enabled in attract.cfg in the words Attract-Mode saves it in.
    const std::string settings = "/attract/home/ann/.attract/attract.cfg";
    write_file(settings, "general\n\tlanguage             en\n");
    write_file("/attract/etc/group", "root:x:0:\nann:x:1000:\n");
    set_up_and_remove("/attract", {"/home/ann/.attract/plugins/Tavimoro/plugin.nut"}, [&](const std::string& output) {
        EXPECT_EQ(read_file(settings), "general\n\tlanguage             en\n\nplugin\tTavimoro\n\tenabled              yes\n")
            << output;
    });
    // A setting of the owner's for the plug-in (here: disabled) is theirs.
    const std::string disabled = "general\n\nplugin\tTavimoro\n\tenabled              no\n";
    write_file(settings, disabled);
    board_test::command_result kept = setup("/attract");
    EXPECT_EQ(kept.status, 0) << kept.output;
    EXPECT_EQ(read_file(settings), disabled) << kept.output;
}

// The hook an older setup installed for fewer of Recalbox's events goes when the new one comes:
// both would run.
TEST_F(HostSetupTest, AnOlderSetupsRecalboxHookIsRetired)
{
    const std::string scripts = "/recalbox/share/userscripts/";
    const std::string old = scripts + "tavimoro[rungame,endgame,gamelistbrowsing].sh";
    make_dir("/old" + scripts + "owners");
    write_file("/old" + old, "#!/bin/sh\n");
    write_file("/old/recalbox/share/system/tavimoro/setup-installed", "file " + old + "\n");
    board_test::command_result result = setup("/old");
    EXPECT_EQ(result.status, 0) << result.output;
    EXPECT_FALSE(fs::exists(path("/old" + old))) << result.output;
    EXPECT_EQ(read_file("/old/recalbox/share/system/tavimoro/setup-installed").find(old), std::string::npos);
    result = setup("/old", "--remove");
    EXPECT_EQ(result.status, 0) << result.output;
    std::vector<std::string> left;
    for (const fs::directory_entry& entry : fs::directory_iterator(path("/old" + scripts)))
        left.push_back(entry.path().filename().string());
    EXPECT_EQ(left, std::vector<std::string>{"owners"}) << result.output;
}

TEST_F(HostSetupTest, RetroPieChainsTheOwnersRuncommandScriptAndRestoresIt)
{
    const std::string owners = "#!/bin/bash\n# the owner's own\necho \"$1\" >>/tmp/played\n";
    write_file("/retropie/opt/retropie/configs/all/runcommand-onstart.sh", owners);
    ASSERT_EQ(chmod(path("/retropie/opt/retropie/configs/all/runcommand-onstart.sh").c_str(), 0640), 0);
    make_dir("/retropie/home/pi/.emulationstation");
    write_file("/retropie/etc/group", "root:x:0:\ntavimoro:x:990:\npi:x:1000:\n");

    std::vector<std::string> hooks = event_hooks("/home/pi/.emulationstation/scripts/",
                                                 {"game-select", "system-select", "screensaver-game-select",
                                                  "screensaver-start", "screensaver-stop"});
    hooks.insert(hooks.end(),
                 {"/opt/retropie/configs/all/tavimoro/runcommand-onstart.sh", "/opt/retropie/configs/all/runcommand-onend.sh"});
    set_up_and_remove("/retropie", hooks,
                      [&](const std::string& output) {
                          const std::string chained = read_file("/retropie/opt/retropie/configs/all/runcommand-onstart.sh");
                          EXPECT_EQ(chained, "#!/bin/bash\nsh \"/opt/retropie/configs/all/tavimoro/runcommand-onstart.sh\" "
                                             "\"$@\"  # added by tavimoro-host setup; 'tavimoro-host setup --remove' "
                                             "takes it out\n" + owners.substr(12)) << output;
                          EXPECT_EQ(read_file("/retropie/etc/group"), "root:x:0:\ntavimoro:x:990:pi\npi:x:1000:\n");
                      });
}

// With no frontend, only the rule, and only where no package put it: setup says how to use the
// generic hook.
TEST_F(HostSetupTest, WithoutAFrontendItPointsToTheGenericHook)
{
    make_dir("/plain/etc");
    set_up_and_remove("/plain", {}, [](const std::string& output) {
        EXPECT_NE(output.find("generic/tavimoro-game on the PATH"), std::string::npos) << output;
        std::ifstream rule(UDEV_RULE);
        EXPECT_EQ(read_file("/plain/etc/udev/rules.d/70-tavimoro.rules"),
                  std::string(std::istreambuf_iterator<char>(rule), {}));
    });

    write_file("/packaged/usr/lib/udev/rules.d/70-tavimoro.rules", "# the package's\n");
    const tree_state packaged = state_of("/packaged");
    board_test::command_result result = setup("/packaged");
    EXPECT_EQ(result.status, 0) << result.output;
    EXPECT_EQ(state_of("/packaged"), packaged) << result.output;
}

TEST_F(HostSetupTest, AMissingPictureIsNamedBeforeAnyBoardIsLookedFor)
{
    board_test::command_result result = board_test::run_command(
        "env -u TAVIMORO_DEVICE TAVIMORO_HOST_ROOT=" + path("/host") + " " + HOST_TOOL + " image /missing.png");
    EXPECT_EQ(result.status, 2);
    EXPECT_NE(result.output.find("cannot read /missing.png"), std::string::npos) << result.output;
}

} // namespace
