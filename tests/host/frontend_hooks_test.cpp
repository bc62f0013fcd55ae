// The frontend hooks installed by tavimoro-host setup into trees laid out as each frontend's
// system, and run as their frontends run them (the command line each builds, its arguments),
// with a game whose names hold spaces, quotes and '&', against the real player over the simulated
// link (TAVIMORO_DEVICE names the host socket): the band follows the games and systems selected,
// the screensaver and its games, and a game started and ended.
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
// A system's picture, laid on the disk under the system's key.
const std::string SYSTEM_PICTURE = PRODUCT + "/thirdparty/@snes.png";

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
        // Batocera's hook keeps its mark of the screensaver in TMPDIR.
        make_dir("/host/tmp");
        std::string environment = "TAVIMORO_DEVICE=" + shell_quote(path(device)) + " TMPDIR=" + shell_quote(path("/host/tmp")) +
                                  " PATH=" + shell_quote(std::string(HOST_TOOL_DIR) + ":" + getenv("PATH"));
        auto started = std::chrono::steady_clock::now();
        board_test::command_result result = board_test::run_command("env " + environment + " sh -c " + shell_quote(command));
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

    // True when `screen` shows the picture at `board_file`.
    static bool shows(const ScreenImage& screen, const std::string& board_file)
    {
        ScreenImage picture;
        return load_picture(path(board_file), picture) == 0 &&
               screen_shows(screen, picture, board_test::COLOUR_TOLERANCE);
    }
};

// The trees setup installs into, and each frontend's hooks there.
const std::string BATOCERA = "/fe/batocera";
const std::string RETROPIE = "/fe/retropie";
const std::string ESDE = "/fe/esde";
const std::string RECALBOX = "/fe/recalbox";
const std::string BATOCERA_SCRIPTS = BATOCERA + "/userdata/system/configs/emulationstation/scripts/";
const std::string RETROPIE_SCRIPTS = RETROPIE + "/home/pi/.emulationstation/scripts/";
const std::string RUNCOMMAND = RETROPIE + "/opt/retropie/configs/all/";
const std::string ESDE_SCRIPTS = ESDE + "/home/ann/ES-DE/scripts/";
// Recalbox's user script, for owners who run no service there (setup installs the service).
const std::string RECALBOX_SCRIPT = "recalbox/tavimoro[rungame,endgame,gamelistbrowsing,systembrowsing,rundemo,enddemo,"
                                    "startgameclip,stopgameclip,sleep,wakeup].sh";

// Lays out each frontend's tree and has setup install its hooks there.
void install_frontends()
{
    using board_test::BoardRootTest;
    BoardRootTest::make_dir("/tmp");
    BoardRootTest::write_file(BATOCERA + "/usr/share/batocera/batocera.version", "41\n");
    BoardRootTest::make_dir(RETROPIE + "/opt/retropie/configs/all");
    BoardRootTest::make_dir(RETROPIE + "/home/pi/.emulationstation");
    BoardRootTest::make_dir(ESDE + "/home/ann/ES-DE");
    BoardRootTest::make_dir(RECALBOX + "/recalbox/share/userscripts");
    for (const std::string& tree : {BATOCERA, RETROPIE, ESDE, RECALBOX}) {
        BoardRootTest::write_file(tree + "/etc/group", "root:x:0:\npi:x:1000:\nann:x:1001:\n");
        board_test::command_result setup = board_test::run_command(
            "env -u TAVIMORO_DEVICE " + shell_quote(std::string(HOST_TOOL_DIR) + "/tavimoro-host") + " setup --root " +
            shell_quote(BoardRootTest::path(tree)));
        ASSERT_EQ(setup.status, 0) << setup.output;
    }
}

// Batocera's EmulationStation builds one shell command: the script, then each argument, in
// double quotes only when it holds a space, its own double quotes taken out.
std::string batocera_event(const std::string& event, std::initializer_list<std::string> args)
{
    std::string command = shell_quote(board_test::BoardRootTest::path(BATOCERA_SCRIPTS + event + "/tavimoro.sh"));
    for (std::string arg : args) {
        std::erase(arg, '"');
        command += arg.find(' ') == std::string::npos ? " " + arg : " \"" + arg + "\"";
    }
    return command;
}

// RetroPie's EmulationStation and ES-DE: the script, then each argument in double quotes (ES-DE
// always four, empty ones too).
std::string quoted_event(const std::string& script, std::initializer_list<std::string> args)
{
    std::string command = shell_quote(board_test::BoardRootTest::path(script));
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

// runcommand runs: bash runcommand-onstart.sh SYSTEM EMULATOR ROM COMMAND.
std::string runcommand(const std::string& script, const std::string& rom)
{
    return "bash " + shell_quote(board_test::BoardRootTest::path(RUNCOMMAND + script)) + " " +
           words({"arcade", "lr-mame2003", rom, "retroarch -L mame2003_libretro.so " + shell_escaped(rom)});
}

// Recalbox writes its state file (lines ending in CR LF), then runs: /bin/sh SCRIPT -action EVENT
// -statefile FILE [-param PARAM], PARAM a game's ROM or a system's short name.
std::string recalbox_event(const std::string& action, const std::string& param = "", const std::string& name = "")
{
    const bool system = action == "systembrowsing";
    const std::string state = board_test::BoardRootTest::path("/tmp/es_state.inf");
    const std::string lines = "Version=2.0\r\nAction=" + action + "\r\nActionData=" + param + "\r\nSystem=" +
                              (system ? name : "Arcade") + "\r\nSystemId=" + (system ? param : "mame") + "\r\nGame=" +
                              (system ? "" : name) + "\r\nGamePath=" + (system ? "" : param) + "\r\nState=selected\r\n";
    return "printf %s " + shell_quote(lines) + " >" + shell_quote(state) + " && /bin/sh " +
           hook(RECALBOX_SCRIPT) + " " +
           words({"-action", action, "-statefile", state}) + (param.empty() ? "" : " " + words({"-param", param}));
}

// What the band shows after an event: a picture (the game, a second game, the boot banner, the
// system's), or, for a system the disk has no picture of, a card.
const std::string CARD;

struct event_step {
    std::string command;
    std::string shows;
    std::string logged = "";  // a line the player logs for the message, where it says more
};

struct frontend_case {
    const char* name;
    std::vector<event_step> events;
};

// Each frontend's events in the order an owner raises them: a game selected, the screensaver (its
// start, one of its games, its end, which goes back to the selection), a system with a picture
// and one without, a game started and ended (back to it: the started game stays selected).
std::vector<frontend_case> frontend_cases()
{
    const std::string star = "Star Fighter";
    auto rom = [](const std::string& system, const std::string& folder, const std::string& name) {
        return "/" + system + "/roms/" + folder + "/" + name + ".zip";
    };
    const std::string b_star = rom("userdata", "snes", star), b_game = rom("userdata", "mame", ROM_NAME);
    const std::string p_star = rom("home/pi/RetroPie", "snes", star), p_game = rom("home/pi/RetroPie", "arcade", ROM_NAME);
    const std::string e_star = rom("home/ann/ROMs", "snes", star), e_game = rom("home/ann/ROMs", "arcade", ROM_NAME);
    const std::string r_star = rom("recalbox/share", "snes", star), r_game = rom("recalbox/share", "mame", ROM_NAME);
    return {
        {"Batocera",
         {{batocera_event("game-selected", {"snes", b_star, star}), STAR_FIGHTER_PICTURE},
          {batocera_event("screensaver-start", {"random video"}), BOOT_PICTURE},
          // Batocera names the screensaver's games with game-selected too.
          {batocera_event("game-selected", {"mame", b_game, GAME_NAME}), GAME_PICTURE},
          {batocera_event("screensaver-stop", {}), STAR_FIGHTER_PICTURE},
          {batocera_event("system-selected", {"snes"}), SYSTEM_PICTURE},
          {batocera_event("system-selected", {"mame"}), CARD, "banner_info.title=mame\n"},
          // The double quotes of the name do not survive the frontend's own quoting.
          {batocera_event("game-start", {shell_escaped(b_game), ROM_NAME, GAME_NAME}), GAME_PICTURE,
           "banner_info.title=Tom & Jerry's Big Chase\n"},
          {batocera_event("game-end", {}), GAME_PICTURE}}},
        {"RetroPie",
         {{quoted_event(RETROPIE_SCRIPTS + "game-select/tavimoro.sh", {"snes", p_star, star, "input"}), STAR_FIGHTER_PICTURE},
          {quoted_event(RETROPIE_SCRIPTS + "screensaver-start/tavimoro.sh", {}), BOOT_PICTURE},
          {quoted_event(RETROPIE_SCRIPTS + "screensaver-game-select/tavimoro.sh", {"arcade", p_game, GAME_NAME, "randomvideo"}),
           GAME_PICTURE},
          {quoted_event(RETROPIE_SCRIPTS + "screensaver-stop/tavimoro.sh", {}), STAR_FIGHTER_PICTURE},
          {quoted_event(RETROPIE_SCRIPTS + "system-select/tavimoro.sh", {"snes", "input"}), SYSTEM_PICTURE},
          {quoted_event(RETROPIE_SCRIPTS + "system-select/tavimoro.sh", {"arcade", "input"}), CARD,
           "banner_info.title=arcade\n"},
          // runcommand gives no game name: the ROM's name is the title.
          {runcommand("runcommand-onstart.sh", p_game), GAME_PICTURE, "banner_info.title=" + ROM_NAME + "\n"},
          {runcommand("runcommand-onend.sh", p_game), GAME_PICTURE}}},
        {"ES-DE",
         {{quoted_event(ESDE_SCRIPTS + "game-select/tavimoro.sh", {e_star, star, "snes", "Nintendo SNES"}), STAR_FIGHTER_PICTURE},
          {quoted_event(ESDE_SCRIPTS + "screensaver-start/tavimoro.sh", {"timer", "", "", ""}), BOOT_PICTURE},
          {quoted_event(ESDE_SCRIPTS + "screensaver-game-select/tavimoro.sh", {shell_escaped(e_game), GAME_NAME, "arcade", "Arcade"}),
           GAME_PICTURE},
          {quoted_event(ESDE_SCRIPTS + "screensaver-end/tavimoro.sh", {"cancel", "", "", ""}), STAR_FIGHTER_PICTURE},
          {quoted_event(ESDE_SCRIPTS + "system-select/tavimoro.sh", {"snes", "Nintendo SNES", "/home/ann/ROMs/snes", ""}),
           SYSTEM_PICTURE},
          {quoted_event(ESDE_SCRIPTS + "system-select/tavimoro.sh", {"arcade", "Arcade Machines", "/home/ann/ROMs/arcade", ""}),
           CARD, "banner_info.title=Arcade Machines\n"},
          {quoted_event(ESDE_SCRIPTS + "game-start/tavimoro.sh", {shell_escaped(e_game), GAME_NAME, "arcade", "Arcade"}),
           GAME_PICTURE, "banner_info.title=Tom & Jerry's Big Chase\n"},
          {quoted_event(ESDE_SCRIPTS + "game-end/tavimoro.sh", {shell_escaped(e_game), GAME_NAME, "arcade", "Arcade"}),
           GAME_PICTURE}}},
        {"Recalbox",
         {{recalbox_event("gamelistbrowsing", r_star, star), STAR_FIGHTER_PICTURE},
          {recalbox_event("sleep"), BOOT_PICTURE},
          {recalbox_event("rundemo", r_game, GAME_NAME), GAME_PICTURE},
          {recalbox_event("enddemo"), STAR_FIGHTER_PICTURE},
          {recalbox_event("systembrowsing", "snes", "Super Nintendo"), SYSTEM_PICTURE},
          {recalbox_event("systembrowsing", "mame", "Arcade Machines"), CARD,
           "banner_info.title=Arcade Machines\n"},
          // The name comes from the state file.
          {recalbox_event("rungame", r_game, GAME_NAME), GAME_PICTURE, "banner_info.title2=Tom & Jerry's "},
          {recalbox_event("endgame", r_game, GAME_NAME), GAME_PICTURE}}},
    };
}

TEST_F(FrontendHookTest, EveryFrontendsHooksFollowWhatTheOwnerLooksAt)
{
    ASSERT_NO_FATAL_FAILURE(install_frontends());
    ASSERT_EQ(make_sample_picture(path(SYSTEM_PICTURE), 1920, 360, "SNES", 0x802060), 0);
    start_player();
    for (const frontend_case& frontend : frontend_cases()) {
        std::string before = BOOT_PICTURE;  // what the band showed before the event
        for (const event_step& step : frontend.events) {
            SCOPED_TRACE(std::string(frontend.name) + ": " + step.command);
            size_t mark = log().size();
            ASSERT_EQ(run_hook(step.command), 0);
            if (step.shows == CARD) {
                // No picture of that system: the band leaves the last picture for the card.
                EXPECT_TRUE(board_test::wait_for_screen_that(
                                [&](const ScreenImage& screen) { return !shows(screen, before); }, STEP_TIMEOUT))
                    << log();
            } else if (step.shows == GAME_PICTURE) {
                // A message naming the game again, even when its picture is on the band already.
                expect_game_shown(mark);
            } else {
                EXPECT_TRUE(board_test::band_shows(step.shows, STEP_TIMEOUT)) << log();
            }
            if (step.shows != CARD)
                before = step.shows;
            if (!step.logged.empty()) {
                EXPECT_TRUE(wait_for_log(step.logged, STEP_TIMEOUT, mark)) << log();
            }
        }
    }
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
    ASSERT_NO_FATAL_FAILURE(install_frontends());
    const std::string sent = path("/host/sent");
    // --print prints in the foreground: the wrapper takes the hooks' --background out.
    write_file("/host/bin/tavimoro-host", "#!/bin/sh\nfor a do shift; [ \"$a\" = -b ] || set -- \"$@\" \"$a\"; done\nexec " +
                                              shell_quote(std::string(HOST_TOOL_DIR) + "/tavimoro-host") + " \"$@\" --print >>" +
                                              shell_quote(sent) + "\n");
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
            runcommand("runcommand-onstart.sh", g.rom),
            "/bin/sh " + hook(RECALBOX_SCRIPT) + " " +
                words({"-action", "rungame", "-statefile", path("/host/none"), "-param", g.rom}),
            hook("generic/tavimoro-game") + " " + words({g.rom, g.name}),
        };
        // EmulationStation's own double quotes already change a name with these characters.
        if ((g.rom + g.name).find_first_of("\"$`\\") == std::string::npos) {
            commands.push_back(batocera_event("game-start", {shell_escaped(g.rom), file.substr(0, file.rfind('.')), g.name}));
            commands.push_back(batocera_event("game-selected", {"psx", g.rom, g.name}));
            commands.push_back(quoted_event(RETROPIE_SCRIPTS + "game-select/tavimoro.sh", {"psx", g.rom, g.name, "input"}));
            // ES-DE: the ROM path escaped with backslashes (or not), then the game's name.
            commands.push_back(quoted_event(ESDE_SCRIPTS + "game-start/tavimoro.sh",
                                            {shell_escaped(g.rom), g.name, "psx", "Sony PlayStation"}));
            commands.push_back(
                quoted_event(ESDE_SCRIPTS + "game-select/tavimoro.sh", {g.rom, g.name, "psx", "Sony PlayStation"}));
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
            const bool named = command.find("runcommand") == std::string::npos && command.find("recalbox") == std::string::npos;
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
    ASSERT_NO_FATAL_FAILURE(install_frontends());
    const std::string rom = "/roms/" + ROM_NAME + ".zip";
    std::vector<std::string> commands = {
        runcommand("runcommand-onstart.sh", rom),
        runcommand("runcommand-onend.sh", rom),
        hook("generic/tavimoro-game") + " " + words({rom, GAME_NAME}),
        hook("generic/tavimoro-game"),
    };
    for (const char* event : {"game-selected", "system-selected", "game-start", "game-end", "screensaver-start", "screensaver-stop"})
        commands.push_back(batocera_event(event, {"mame", rom, GAME_NAME}));
    for (const char* event : {"game-select", "system-select", "screensaver-game-select", "screensaver-start", "screensaver-stop"})
        commands.push_back(quoted_event(RETROPIE_SCRIPTS + event + "/tavimoro.sh", {"arcade", rom, GAME_NAME, "input"}));
    for (const char* event : {"game-select", "system-select", "game-start", "game-end", "screensaver-start", "screensaver-end",
                              "screensaver-game-select"})
        commands.push_back(quoted_event(ESDE_SCRIPTS + event + "/tavimoro.sh", {rom, GAME_NAME, "arcade", "Arcade"}));
    for (const char* action : {"rungame", "endgame", "gamelistbrowsing", "systembrowsing", "rundemo", "enddemo",
                               "startgameclip", "stopgameclip", "sleep", "wakeup"})
        commands.push_back(recalbox_event(action, rom, GAME_NAME));
    for (const char* device : {"/sim/host.sock", "/sim/no-board"}) {
        for (const std::string& command : commands)
            EXPECT_EQ(run_hook(command, device), 0) << command << " with " << device;
    }
}

} // namespace
