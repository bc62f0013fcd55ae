// The frontend hooks run as their frontends run them, with a game whose names hold spaces,
// quotes and '&', against the real player over the simulated link (TAVIMORO_DEVICE names the
// host socket): the band shows the game's picture, and the boot picture once the game ends.
#include "core/board_root.h"
#include "host/common/lookup_keys.h"
#include "tests/support/program_fixture.h"
#include "tests/support/sample_media_copy.h"
#include "tests/support/screen_reader.h"
#include "sim/sample_media.h"
#include "sim/sim_board.h"

#include <cjson/cJSON.h>
#include <sys/stat.h>

#include <chrono>
#include <initializer_list>
#include <memory>
#include <string>
#include <vector>

using namespace std::chrono_literals;

namespace {

const std::string PRODUCT = std::string("/media/") + SIM_DEFAULT_DISK + "/vorlix";
const std::string BOOT_PICTURE = PRODUCT + "/.assets/vorlix-boot.png";
const std::string STAR_FIGHTER_PICTURE = PRODUCT + "/vorlix/star fighter.png";

// The game: its ROM file, the name the frontend shows, and its picture on the board's disk
// (found by the ROM's name; media lookup ignores case).
const std::string ROM_NAME = "Tom & Jerry's Chase (USA)";
const std::string GAME_NAME = "Tom & Jerry's \"Big\" Chase";
const std::string GAME_PICTURE = PRODUCT + "/thirdparty/tom & jerry's chase (usa).png";

constexpr auto START_TIMEOUT = 60s;
constexpr auto STEP_TIMEOUT = 30s;
// Far below the tool's own time-out for an answer (5 s), which a hook must never wait for.
constexpr auto HOOK_RETURNS_WITHIN = 2500ms;

std::string hook(const std::string& name)
{
    return shell_quote(std::string(FRONTENDS) + "/" + name);
}

// A command line of shell words.
std::string words(std::initializer_list<std::string> list)
{
    std::string line;
    for (const std::string& word : list)
        line += (line.empty() ? "" : " ") + shell_quote(word);
    return line;
}

class FrontendHookTest : public board_test::ProgramTest {
protected:
    void SetUp() override
    {
        ProgramTest::SetUp();
        ASSERT_EQ(board_test::install_sample_media(board_test::process_root()), 0);
        ASSERT_EQ(make_sample_picture(path(GAME_PICTURE), 1920, 360, "TOM & JERRY", 0x2060C0), 0);
    }

    void start_player()
    {
        start_program(PLAYER_PROGRAM, path("/sim/player.log"));
        ASSERT_TRUE(wait_for_log("Tavimoro V1.0.6", START_TIMEOUT)) << log();
        // Reports sent before the player opens its end of the link are lost, as on the board.
        ASSERT_TRUE(board_test::wait_until([] { return host("--timeout 1 state") == 0; }, START_TIMEOUT)) << log();
        ASSERT_TRUE(board_test::band_shows(BOOT_PICTURE, START_TIMEOUT)) << log();
    }

    // Runs `command` as the frontend would, with tavimoro-host on PATH and TAVIMORO_DEVICE naming
    // `device`; its exit status, after checking that it returned at once.
    static int run_hook(const std::string& command, const std::string& device = "/sim/host.sock")
    {
        std::string environment = "TAVIMORO_DEVICE=" + shell_quote(path(device)) + " PATH=" +
                                  shell_quote(std::string(HOST_TOOL_DIR) + ":" + getenv("PATH"));
        auto started = std::chrono::steady_clock::now();
        board_test::command_result result = board_test::run_command("env " + environment + " " + command);
        auto took = std::chrono::steady_clock::now() - started;
        EXPECT_LT(took, HOOK_RETURNS_WITHIN) << command;
        EXPECT_EQ(result.output, "") << command;
        return result.status;
    }

    // The game took effect: its picture is on the band and the player took its ROM name.
    void expect_game_shown(size_t log_mark)
    {
        EXPECT_TRUE(board_test::band_shows(GAME_PICTURE, STEP_TIMEOUT)) << log();
        EXPECT_TRUE(wait_for_log("banner_info.romname=" + ROM_NAME + "\n", STEP_TIMEOUT, log_mark)) << log();
    }

    void expect_boot_banner() { EXPECT_TRUE(board_test::band_shows(BOOT_PICTURE, STEP_TIMEOUT)) << log(); }
};

// EmulationStation (Batocera) builds one shell command: the script, then each argument in
// double quotes, the ROM path escaped with backslashes as for a shell.
std::string emulationstation_event(const std::string& script, std::initializer_list<std::string> args)
{
    std::string command = hook("emulationstation/" + script);
    for (const std::string& arg : args)
        command += " \"" + arg + "\"";
    return command;
}

std::string shell_escaped(const std::string& path)
{
    std::string escaped;
    for (char c : path) {
        if (std::string(" '\"&()!$;|<>`\\").find(c) != std::string::npos)
            escaped += '\\';
        escaped += c;
    }
    return escaped;
}

TEST_F(FrontendHookTest, EmulationStationEventsStartEndAndSelectAGame)
{
    start_player();
    const std::string rom = "/userdata/roms/mame/" + ROM_NAME + ".zip";
    size_t mark = log().size();
    ASSERT_EQ(run_hook(emulationstation_event("game-start.sh", {shell_escaped(rom), ROM_NAME, GAME_NAME})), 0);
    expect_game_shown(mark);
    // The double quotes of the name do not survive the frontend's own quoting.
    EXPECT_TRUE(wait_for_log("banner_info.title=Tom & Jerry's Big Chase\n", STEP_TIMEOUT, mark)) << log();

    ASSERT_EQ(run_hook(emulationstation_event("game-end.sh", {})), 0);
    expect_boot_banner();

    ASSERT_EQ(run_hook(emulationstation_event("game-selected.sh",
                                              {"mame", "/userdata/roms/mame/Star Fighter.zip", "Star Fighter"})),
              0);
    EXPECT_TRUE(board_test::band_shows(STAR_FIGHTER_PICTURE, STEP_TIMEOUT)) << log();
    mark = log().size();
    ASSERT_EQ(run_hook(emulationstation_event("game-selected.sh", {"mame", rom, GAME_NAME})), 0);
    expect_game_shown(mark);
}

// runcommand runs: bash runcommand-onstart.sh SYSTEM EMULATOR ROM COMMAND.
TEST_F(FrontendHookTest, RetroPieRuncommandStartsAndEndsAGame)
{
    start_player();
    const std::string rom = "/home/pi/RetroPie/roms/arcade/" + ROM_NAME + ".zip";
    const std::string command = "/opt/retropie/emulators/retroarch/bin/retroarch -L mame2003_libretro.so " +
                                shell_escaped(rom);
    size_t mark = log().size();
    ASSERT_EQ(run_hook("bash " + hook("retropie/runcommand-onstart.sh") + " " +
                       words({"arcade", "lr-mame2003", rom, command})),
              0);
    expect_game_shown(mark);
    EXPECT_TRUE(wait_for_log("banner_info.title=" + ROM_NAME + "\n", STEP_TIMEOUT, mark)) << log();

    ASSERT_EQ(run_hook("bash " + hook("retropie/runcommand-onend.sh") + " " +
                       words({"arcade", "lr-mame2003", rom, command})),
              0);
    expect_boot_banner();
}

// Recalbox runs: script -action EVENT -statefile /tmp/es_state.inf [-param ROM-PATH], with the
// state file written first.
TEST_F(FrontendHookTest, RecalboxUserScriptFollowsRunGameEndGameAndBrowsing)
{
    start_player();
    const std::string script = "sh " + hook("recalbox/tavimoro[rungame,endgame,gamelistbrowsing].sh");
    const std::string statefile = path("/tmp/es_state.inf");
    auto event = [&](const std::string& action, const std::string& rom, const std::string& name) {
        write_file("/tmp/es_state.inf", "System=Arcade\nSystemId=mame\nGame=" + name + "\nGamePath=" + rom +
                                            "\nState=playing\nAction=" + action + "\nActionData=" + rom + "\n");
        return run_hook(script + " " + words({"-action", action, "-statefile", statefile, "-param", rom}));
    };
    const std::string rom = "/recalbox/share/roms/mame/" + ROM_NAME + ".zip";
    size_t mark = log().size();
    ASSERT_EQ(event("rungame", rom, GAME_NAME), 0);
    expect_game_shown(mark);
    EXPECT_TRUE(wait_for_log("banner_info.title2=Tom & Jerry's ", STEP_TIMEOUT, mark)) << log();

    ASSERT_EQ(event("endgame", rom, GAME_NAME), 0);
    expect_boot_banner();

    ASSERT_EQ(event("gamelistbrowsing", "/recalbox/share/roms/mame/Star Fighter.zip", "Star Fighter"), 0);
    EXPECT_TRUE(board_test::band_shows(STAR_FIGHTER_PICTURE, STEP_TIMEOUT)) << log();
}

TEST_F(FrontendHookTest, GenericHookTakesARomPathAndADisplayName)
{
    start_player();
    size_t mark = log().size();
    ASSERT_EQ(run_hook(hook("generic/tavimoro-game") + " " + words({"/games/arcade/" + ROM_NAME + ".zip", GAME_NAME})),
              0);
    expect_game_shown(mark);

    ASSERT_EQ(run_hook(hook("generic/tavimoro-game")), 0);
    expect_boot_banner();

    // Without a display name, the ROM file's name is the title.
    ASSERT_EQ(run_hook(hook("generic/tavimoro-game") + " " + words({"/games/arcade/Star Fighter.zip"})), 0);
    EXPECT_TRUE(board_test::band_shows(STAR_FIGHTER_PICTURE, STEP_TIMEOUT)) << log();
}

// The field `key` of a JSON message ("" when absent).
std::string field(const std::string& json, const char* key)
{
    std::unique_ptr<cJSON, decltype(&cJSON_Delete)> parsed(cJSON_Parse(json.c_str()), cJSON_Delete);
    const cJSON* value = cJSON_GetObjectItemCaseSensitive(parsed.get(), key);
    return cJSON_IsString(value) ? value->valuestring : "";
}

// Every hook sends, for awkward ROM paths, exactly the keys of the rule the media kit names its
// files by: the real tavimoro-host, put on PATH behind a wrapper that makes it print the message.
TEST_F(FrontendHookTest, EveryHookSendsTheKeysOfTheSharedRule)
{
    const std::string sent = path("/host/sent");
    write_file("/host/bin/tavimoro-host", "#!/bin/sh\nexec " + shell_quote(std::string(HOST_TOOL_DIR) + "/tavimoro-host") +
                                              " \"$@\" --print >>" + shell_quote(sent) + "\n");
    ASSERT_EQ(chmod(path("/host/bin/tavimoro-host").c_str(), 0755), 0);
    struct game {
        std::string rom, name;
    };
    const game games[] = {
        {"/roms/psx/Dr. Mario (Disc 1).chd", "Dr. Mario"},
        {"/roms/mame/" + ROM_NAME + ".zip", GAME_NAME},
        {"/roms/mame/" + ROM_NAME + ".zip", "Tom & Jerry's Chase"},
        {"/roms/snes/Pokémon Snap v1.2.sfc", ""},
        // Evaluated by a shell, the name would change and so would the keys.
        {"/roms/x/a;b $(echo x) `id` 'q'.zip", "  Spaced  "},
    };
    for (const game& g : games) {
        const lookup_keys keys = game_lookup_keys(g.rom, g.name);
        const std::string file = g.rom.substr(g.rom.rfind('/') + 1);
        std::vector<std::string> commands = {
            "bash " + hook("retropie/runcommand-onstart.sh") + " " + words({"psx", "lr-pcsx", g.rom, "retroarch"}),
            "sh " + hook("recalbox/tavimoro[rungame,endgame,gamelistbrowsing].sh") + " " +
                words({"-action", "rungame", "-statefile", path("/host/none"), "-param", g.rom}),
            hook("generic/tavimoro-game") + " " + words({g.rom, g.name}),
        };
        // EmulationStation's own double quotes already change a name with these characters.
        if ((g.rom + g.name).find_first_of("\"$`\\") == std::string::npos) {
            commands.push_back(emulationstation_event(
                "game-start.sh", {shell_escaped(g.rom), file.substr(0, file.rfind('.')), g.name}));
            commands.push_back(emulationstation_event("game-selected.sh", {"psx", g.rom, g.name}));
            // ES-DE: the ROM path escaped with backslashes, then the game's name, in double quotes.
            commands.push_back(hook("es-de/game-start.sh") + " \"" + shell_escaped(g.rom) + "\" \"" + g.name +
                               "\" \"psx\" \"Sony PlayStation\"");
        }
        for (const std::string& command : commands) {
            unlink(sent.c_str());
            board_test::run_command("env PATH=" + shell_quote(path("/host/bin") + ":" + getenv("PATH")) + " " + command);
            ASSERT_TRUE(board_test::wait_until([&] { return read_file("/host/sent").find('\n') != std::string::npos; },
                                               STEP_TIMEOUT))
                << command;
            const std::string json = read_file("/host/sent");
            EXPECT_EQ(field(json, "romname"), keys.romname) << command;
            // runcommand and Recalbox (without its state file) give no name: the ROM name is the title.
            const bool named = command.find("retropie") == std::string::npos && command.find("recalbox") == std::string::npos;
            const std::string title = named ? keys.title : game_lookup_keys(g.rom, "").title;
            EXPECT_EQ(field(json, "title"), title) << command;
            EXPECT_EQ(field(json, "title2"), title) << command;
        }
    }
}

// A board that never answers (the link is there, no player behind it) or no board at all: every
// hook still returns at once, with success, and prints nothing.
TEST_F(FrontendHookTest, EveryHookReturnsAtOnceWhateverTheBoardDoes)
{
    const std::string rom = "/roms/" + ROM_NAME + ".zip";
    const std::string commands[] = {
        emulationstation_event("game-start.sh", {shell_escaped(rom), ROM_NAME, GAME_NAME}),
        emulationstation_event("game-end.sh", {}),
        emulationstation_event("game-selected.sh", {"mame", rom, GAME_NAME}),
        "bash " + hook("retropie/runcommand-onstart.sh") + " " + words({"arcade", "lr-mame2003", rom, "retroarch"}),
        "bash " + hook("retropie/runcommand-onend.sh") + " " + words({"arcade", "lr-mame2003", rom, "retroarch"}),
        "sh " + hook("recalbox/tavimoro[rungame,endgame,gamelistbrowsing].sh") + " " +
            words({"-action", "rungame", "-statefile", path("/tmp/none"), "-param", rom}),
        hook("generic/tavimoro-game") + " " + words({rom, GAME_NAME}),
    };
    for (const char* device : {"/sim/host.sock", "/sim/no-board"}) {
        for (const std::string& command : commands)
            EXPECT_EQ(run_hook(command, device), 0) << command << " with " << device;
    }
}

} // namespace
