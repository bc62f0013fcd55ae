// The MAME plugin in Debian's MAME, run headless on a machine that needs no ROM file (pong), with
// tavimoro-host on PATH and TAVIMORO_DEVICE naming the simulated board: the player takes the
// machine's short name and description when it starts, and shows the boot banner once it ends.
// MAME runs in the test root with no ini file read, so that all it writes (cfg, nvram, snap)
// stays there.
#include "core/board_root.h"
#include "tests/support/program_fixture.h"
#include "tests/support/sample_media_copy.h"
#include "tests/support/screen_reader.h"
#include "sim/sim_board.h"

#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <string>

using namespace std::chrono_literals;

namespace {

const char* const MAME = "/usr/games/mame";
// Debian's plugins folder, which holds the boot script that starts every plugin.
const std::string MAME_PLUGINS = "/usr/share/games/mame/plugins";
const std::string BOOT_PICTURE = std::string("/media/") + SIM_DEFAULT_DISK + "/vorlix/.assets/vorlix-boot.png";
constexpr auto START_TIMEOUT = 60s;
constexpr auto STEP_TIMEOUT = 30s;

class MamePluginTest : public board_test::ProgramTest {
protected:
    void SetUp() override
    {
        ProgramTest::SetUp();
        if (access(MAME, X_OK) != 0 || access((MAME_PLUGINS + "/boot.lua").c_str(), R_OK) != 0)
            GTEST_SKIP() << "Debian's mame is not installed (scripts/setup installs it)";
        ASSERT_EQ(board_test::install_sample_media(board_test::process_root()), 0);
        make_dir("/host/mame/roms");
        make_dir("/host/empty");
    }

    // Runs MAME on pong for `seconds` with PATH `path_dirs` and the `plugins`, ours or the test's
    // (in the root's /host/mame/plugins), in its folder of the root.
    static board_test::command_result run_mame(const std::string& path_dirs, const std::string& plugins, int seconds)
    {
        return board_test::run_command(
            "cd " + shell_quote(path("/host/mame")) + " && env HOME=" + shell_quote(path("/host/mame")) +
            " TAVIMORO_DEVICE=" + shell_quote(path("/sim/host.sock")) + " PATH=" + shell_quote(path_dirs) + " " + MAME +
            " pong -noreadconfig -video none -sound none -skip_gameinfo -rompath roms -seconds_to_run " +
            std::to_string(seconds) + " -pluginspath " +
            shell_quote(std::string(PLUGINS_DIR) + ";" + path("/host/mame/plugins") + ";" + MAME_PLUGINS) +
            " -plugin " + plugins + " </dev/null");
    }
};

TEST_F(MamePluginTest, TheBoardIsToldTheMachineAtItsStartAndTheBootBannerAtItsEnd)
{
    start_program(PLAYER_PROGRAM, path("/sim/player.log"));
    ASSERT_TRUE(board_test::wait_until([] { return host("--timeout 1 state") == 0; }, START_TIMEOUT)) << log();
    ASSERT_TRUE(board_test::band_shows(BOOT_PICTURE, START_TIMEOUT)) << log();
    // MAME's own description of the machine: pong  "Pong (Rev E) [TTL]".
    std::string listed = board_test::run_command(std::string(MAME) + " -listfull pong").output;
    size_t open = listed.find("\npong "), quote = listed.find('"', open);
    ASSERT_NE(open, std::string::npos) << listed;
    const std::string description = listed.substr(quote + 1, listed.find('"', quote + 1) - quote - 1);

    size_t mark = log().size();
    board_test::command_result mame = run_mame(std::string(HOST_TOOL_DIR) + ":" + getenv("PATH"), "tavimoro", 2);
    ASSERT_EQ(mame.status, 0) << mame.output;
    EXPECT_TRUE(wait_for_log("banner_info.romname=pong\n", STEP_TIMEOUT, mark)) << log();
    EXPECT_TRUE(wait_for_log("banner_info.title=" + description + "\n", STEP_TIMEOUT, mark)) << log();
    EXPECT_TRUE(board_test::band_shows(BOOT_PICTURE, STEP_TIMEOUT)) << log();
}

// No tavimoro-host on PATH: MAME runs and ends as usual, with one line that says so. The words of
// a call reach the program as they were, whatever the shell would make of them.
TEST_F(MamePluginTest, WithoutTavimoroHostMameSaysSoOnceAndQuotesEveryWord)
{
    write_file("/host/bin/record", "#!/bin/sh\nfor word in \"$@\"; do printf '[%s]\\n' \"$word\"; done >\"$0.words\"\n");
    ASSERT_EQ(chmod(path("/host/bin/record").c_str(), 0755), 0);
    const std::string words[] = {"Tom & Jerry's \"Big\" Chase", "$(id) `id` ; | \\ * ~ $HOME", "it's", "", "%PATH% ^!"};
    // A plugin of the test's runs the recorder with the plugin's command line. (MAME 0.251's
    // -autoboot_script crashes MAME at its exit now and then.)
    std::string script = "return { startplugin = function()\n  local line = require('tavimoro').command_line({";
    for (const std::string& word : words)
        script += "[==[" + word + "]==], ";
    script += "})\n  os.execute('" + path("/host/bin/record") + "' .. line:sub(#'tavimoro-host' + 1))\nend }\n";
    write_file("/host/mame/plugins/words/init.lua", script);
    write_file("/host/mame/plugins/words/plugin.json",
               R"({ "plugin": { "name": "words", "description": "", "version": "1", "author": "", "type": "plugin", "start": "false" } })");

    board_test::command_result mame = run_mame(path("/host/empty"), "tavimoro,words", 1);
    ASSERT_EQ(mame.status, 0) << mame.output;
    const std::string missing = "tavimoro-host is not on the PATH";
    size_t said = mame.output.find(missing);
    EXPECT_NE(said, std::string::npos) << mame.output;
    EXPECT_EQ(mame.output.find(missing, said + 1), std::string::npos) << "said once: " << mame.output;

    std::string expected;
    for (const std::string& word : words)
        expected += "[" + word + "]\n";
    EXPECT_EQ(read_file("/host/bin/record.words"), expected) << mame.output;
}

} // namespace
