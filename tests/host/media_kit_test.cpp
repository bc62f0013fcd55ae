// tavimoro-media on an awkward library: scan's prediction (gamelists with entities, sub-folder
// paths, non-ASCII names, <folder> entries and a broken file, a ROM folder, a disk and a package),
// and the whole road from build to what the simulated board shows.
#include "banner/surface.h"
#include "core/board_root.h"
#include "host/common/lookup_keys.h"
#include "sim/sample_media.h"
#include "sim/sim_board.h"
#include "tests/support/board_fixture.h"
#include "tests/support/program_fixture.h"
#include "tests/support/screen_reader.h"
#include "tests/support/text_ink.h"

#include <SDL2/SDL_ttf.h>
#include <cjson/cJSON.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

using Json = std::unique_ptr<cJSON, decltype(&cJSON_Delete)>;

class MediaKitTest : public board_test::BoardRootTest {
protected:
    void SetUp() override
    {
        BoardRootTest::SetUp();
        write_file("/host/roms/mame/gamelist.xml", R"(<?xml version="1.0"?>
<gameList>
  <folder><path>./sub</path><name>Sub</name></folder>
  <game><path>./Tom &amp; Jerry (USA).zip</path><name>Tom &amp; Jerry</name></game>
  <game><path>./sub/dir/Pokémon Snap.zip</path><name>Pokémon Snap</name></game>
  <game><path>./sonic.zip</path><name>Sonic</name></game>
  <game><path>./SONIC.7z</path><name>Sonic (Alt)</name></game>
  <game><path>./a;b $(x).zip</path></game>
</gameList>
)");
        write_file("/host/roms/psx/gamelist.xml", "<gameList><game><path>./broken.cue</path>");
        write_file("/host/roms/snes/Dr. Mario (Disc 1).sfc", "rom");
        const std::string product = "/host/disk/vorlix";
        write_file(product + "/thirdparty/tom & jerry.png", "x");
        write_file(product + "/ext/sonic.mp4", "x");
        write_file(product + "/vorlix/pokémon snap.jpg", "x");
        write_file(product + "/vorlix/pokémon snap.mp4", "x");
        write_file(product + "/ext/dr. mario (disc 1).png", "x");
    }

    // The scan's JSON document; its messages and exit status are kept.
    Json scan(const std::string& target)
    {
        std::string command = std::string(MEDIA_TOOL) + " scan --json " + target + " " + shell_quote(path("/host/roms"));
        board_test::command_result result = board_test::run_command("(" + command + " 2>" + path("/host/err") + ")");
        status = result.status;
        messages = read_file("/host/err");
        return Json(cJSON_Parse(result.output.c_str()), cJSON_Delete);
    }

    // romname -> what the board shows, and from which files.
    static std::map<std::string, std::string> shown(const cJSON* document)
    {
        std::map<std::string, std::string> shows;
        const cJSON* game;
        cJSON_ArrayForEach(game, cJSON_GetObjectItem(document, "games"))
        {
            auto text = [&](const char* key) { return std::string(cJSON_GetObjectItem(game, key)->valuestring); };
            shows[text("romname")] = text("shows") + " " + text("picture") + " " + text("video");
        }
        return shows;
    }

    int status = -1;
    std::string messages;
};

TEST_F(MediaKitTest, ScanPredictsWhatTheBoardShowsAndGoesOnPastBadInput)
{
    Json document = scan("--disk " + shell_quote(path("/host/disk")));
    ASSERT_TRUE(document) << messages;
    const std::map<std::string, std::string> expected = {
        {"Tom & Jerry (USA)", "picture only thirdparty/tom & jerry.png "},
        {"Pokémon Snap", "picture and video vorlix/pokémon snap.jpg vorlix/pokémon snap.mp4"},
        {"sonic", "video only  ext/sonic.mp4"},
        {"SONIC", "video only  ext/sonic.mp4"},
        {"a;b $(x)", "title card  "},
        {"Dr. Mario (Disc 1)", "picture only ext/dr. mario (disc 1).png "},
    };
    EXPECT_EQ(shown(document.get()), expected);
    const cJSON* summary = cJSON_GetObjectItem(document.get(), "summary");
    EXPECT_EQ(cJSON_GetObjectItem(summary, "picture only")->valueint, 2);
    EXPECT_EQ(cJSON_GetObjectItem(summary, "title card")->valueint, 1);
    const cJSON* collisions = cJSON_GetObjectItem(document.get(), "collisions");
    ASSERT_EQ(cJSON_GetArraySize(collisions), 1);
    EXPECT_STREQ(cJSON_GetObjectItem(cJSON_GetArrayItem(collisions, 0), "key")->valuestring, "sonic");
    // The broken gamelist is named, and costs only its own games.
    EXPECT_EQ(status, 1);
    EXPECT_NE(messages.find(path("/host/roms/psx/gamelist.xml") + ": not read"), std::string::npos) << messages;

    // The same disk as a package: unpacked as the board unpacks it, the same prediction.
    ASSERT_EQ(board_test::run_command("cd " + shell_quote(path("/host/disk/vorlix")) + " && zip -qr " +
                                      shell_quote(path("/host/media.zip")) + " .")
                  .status,
              0);
    Json packaged = scan("--package " + shell_quote(path("/host/media.zip")));
    ASSERT_TRUE(packaged) << messages;
    EXPECT_EQ(shown(packaged.get()), expected);
}

// What the kit cannot tell is said, naming the option or folder, and fails the run: a mistyped
// disk, a wrong option value, a library that yields no games. A ROM name cut to the board's
// length inside a character still makes valid UTF-8.
TEST_F(MediaKitTest, WrongInputIsNamedAndFailsTheRun)
{
    auto kit = [](const std::string& args) {
        return board_test::run_command(std::string(MEDIA_TOOL) + " " + args + " 2>&1");
    };
    const std::string roms = shell_quote(path("/host/roms"));
    const std::string missing = shell_quote(path("/host/no-disk"));
    const std::vector<std::pair<std::string, std::string>> refused = {
        {"scan --disk " + missing + " " + roms, "--disk " + path("/host/no-disk") + ": no such folder"},
        {"scan --disk " + shell_quote(path("/host/roms/psx/gamelist.xml")) + " " + roms, "no such folder"},
        {"preview --disk " + missing + " --rom x.zip --output " + shell_quote(path("/host/p.png")), "no such folder"},
        {"scan --disk " + shell_quote(path("/host/disk")) + " " + shell_quote(path("/host/disk/vorlix/ext")),
         "holds no games"},
        {"build --system-art " + missing + " --to " + shell_quote(path("/host/disk")) + " " + roms,
         "--system-art " + path("/host/no-disk") + ": no such folder"},
    };
    for (const auto& [args, said] : refused) {
        board_test::command_result result = kit(args);
        EXPECT_EQ(result.status, 1) << args << "\n" << result.output;
        EXPECT_NE(result.output.find(said), std::string::npos) << args << "\n" << result.output;
    }
    for (std::string option : {"--fit sideways", "--video-box 0x0", "--prefer marquee,bogus", "--jobs 0"}) {
        board_test::command_result result = kit("build " + option + " --to " + shell_quote(path("/host/disk")) + " " + roms);
        EXPECT_EQ(result.status, 2) << option;
        std::string name = option.substr(0, option.find(' '));
        EXPECT_NE(result.output.find(name + " '" + option.substr(option.find(' ') + 1) + "'"), std::string::npos)
            << result.output;
    }

    // 60 two-byte letters: the board keeps 125 bytes, which ends inside the 63rd.
    std::string long_name;
    for (int i = 0; i < 64; i++)
        long_name += "é";
    write_file("/host/long/" + long_name + ".zip", "rom");
    board_test::command_result scanned = board_test::run_command(
        std::string(MEDIA_TOOL) + " scan --json --disk " + shell_quote(path("/host/disk")) + " " +
        shell_quote(path("/host/long")) + " | iconv -f UTF-8 -t UTF-8 >/dev/null");
    EXPECT_EQ(scanned.status, 0) << scanned.output;
}

// The coverage page in a real browser: every band loads, and the filters in the address leave
// only the rows they ask for.
TEST_F(MediaKitTest, CoveragePageShowsEveryBandAndFilters)
{
    if (board_test::run_command("command -v chromium").status != 0)
        GTEST_SKIP() << "chromium is not installed (scripts/setup installs it)";
    board_test::command_result scanned =
        board_test::run_command(std::string(MEDIA_TOOL) + " scan --html " + shell_quote(path("/host/page")) + " --disk " +
                                shell_quote(path("/host/disk")) + " " + shell_quote(path("/host/roms")) + " 2>&1");
    ASSERT_TRUE(fs::exists(path("/host/page/index.html"))) << scanned.output;
    board_test::command_result dom = board_test::run_command(
        "chromium --headless --no-sandbox --disable-gpu --virtual-time-budget=5000 --dump-dom " +
        shell_quote("file://" + path("/host/page/index.html") + "#system=mame&shows=title+card") + " 2>/dev/null");
    ASSERT_EQ(dom.status, 0);
    std::vector<std::string> shown;
    size_t rows = 0, loaded = 0;
    for (size_t at = 0; (at = dom.output.find("<tr data-system=", at)) != std::string::npos; at++) {
        std::string tag = dom.output.substr(at, dom.output.find('>', at) - at);
        size_t end = dom.output.find("</tr>", at);
        std::string row = dom.output.substr(at, end - at);
        rows++;
        loaded += row.find("data-loaded=\"yes\"") != std::string::npos;
        if (tag.find("hidden") == std::string::npos)
            shown.push_back(row);
    }
    EXPECT_EQ(rows, 6u);
    EXPECT_EQ(loaded, rows) << dom.output;
    ASSERT_EQ(shown.size(), 1u) << dom.output;
    EXPECT_NE(shown[0].find("a;b $(x)"), std::string::npos) << shown[0];
}

// The whole road on a realistic small library (EmulationStation gamelists, and ES-DE's unlisted
// downloaded media): build and scan it, send the package to the player on the simulated board through tavimoro-host, name each game with the hooks' arguments,
// and check that the band shows the converted picture or the title card, as scan predicted.

constexpr int BAND_WIDTH = 1920;
constexpr int BAND_HEIGHT = 360;
constexpr int TITLE_POINTS = 128;
// Lanczos scaling of a smooth gradient, JPEG decoding by two libraries, then the board's upload:
// a few levels at most; pixels within 3 of the picture's edges (where the filter rings) are not
// compared.
constexpr int FIT_TOLERANCE = 10;
constexpr int EDGE_MARGIN = 3;
constexpr int GRID = 8;
constexpr auto BOARD_TIMEOUT = 60s;
constexpr auto SHOWN_WITHIN = 15s;
constexpr const char* ROM_EXTENSION = ".zip";

enum class media { picture, broken, missing, none };

struct library_game {
    std::string system, rom, name;
    media kind;
    int width = 0, height = 0;  // the scraped picture's shape
    bool video = false;
};

std::string xml_escaped(const std::string& text)
{
    std::string out;
    for (char c : text) {
        switch (c) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '"': out += "&quot;"; break;
        case '\'': out += "&apos;"; break;
        default: out += c;
        }
    }
    return out;
}

// The library: three systems with gamelists (marquees, wheels preferred to screenshots, a video,
// a broken and a missing picture) and one ROM folder without a gamelist.
std::vector<library_game> make_games()
{
    const int SHAPES[][2] = {{1920, 360}, {400, 300}, {960, 120}, {320, 240}, {600, 200}, {1200, 150}};
    const char* const ARCADE[] = {"Tom & Jerry (USA)", "a;b $(x)", "Pokémon Snap", "Street Fighter II' (World)",
                                  "it's \"quoted\"", "..dots..", "Space Duel", "R-Type (Japan) [!]",
                                  "100% Real", "Moon Cresta"};
    const char* const SNES[] = {"Super Metroid", "F-Zero", "Chrono Trigger (USA)", "Earthbound", "Star Fox",
                                "Pilotwings"};
    std::vector<library_game> games;
    int shape = 0;
    auto picture = [&](std::string system, std::string rom, std::string name) {
        const int* size = SHAPES[shape++ % std::size(SHAPES)];
        games.push_back({std::move(system), std::move(rom), std::move(name), media::picture, size[0], size[1]});
    };
    for (const char* rom : ARCADE)
        picture("arcade", rom, std::string(rom) + " Deluxe");
    for (const char* rom : SNES)
        picture("snes", rom, "");
    picture("psx", "Wipeout (Europe)", "Wipeout");
    games.back().video = true;
    games.push_back({"psx", "Broken Disc", "Broken Disc", media::broken});
    games.push_back({"psx", "Lost Disc", "Lost Disc", media::missing});
    games.push_back({"psx", "Tekken (Disc 1)", "Tekken", media::none});
    for (const char* rom : {"Sonic the Hedgehog (USA)", "Streets of Rage"})
        picture("megadrive", rom, "");
    games.push_back({"megadrive", "Ecco", "", media::none});
    return games;
}

class MediaKitBoardTest : public board_test::ProgramTest {
protected:
    // Writes the library's ROMs, gamelists and scraped media under ROOT/host/library, but for the
    // Mega Drive's, which ES-DE keeps: its ROMs in ROOT/host/ROMs, its scraped marquees unlisted
    // in ROOT/host/ES-DE/downloaded_media.
    void make_library()
    {
        write_file("/host/ES-DE/settings/es_settings.xml",
                   "<?xml version=\"1.0\"?>\n<string name=\"ROMDirectory\" value=\"" + path("/host/ROMs") + "\" />\n");
        // The SNES logo of ES-DE's default theme; the other systems get their cards.
        write_file("/host/ES-DE/themes/linear-es-de/system/logos/snes.svg",
                   "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"300\" height=\"100\"><rect width=\"300\" "
                   "height=\"50\" fill=\"#E04080\"/><rect y=\"50\" width=\"300\" height=\"50\" fill=\"#40E0A0\"/></svg>\n");
        std::map<std::string, std::string> lists;
        unsigned colour = 0x3050D0;
        for (const library_game& game : games_) {
            std::string folder = path("/host/library/" + game.system);
            std::string rom_file = game.rom + ROM_EXTENSION;
            unsigned next_colour = colour * 2654435761u >> 8 | 0x404040;
            if (game.system == "megadrive") {
                write_file("/host/ROMs/megadrive/" + rom_file, "rom");
                std::string marquee = path("/host/ES-DE/downloaded_media/megadrive/marquees/" + game.rom + ".png");
                if (game.kind == media::picture) {
                    colour = next_colour;
                    ASSERT_EQ(make_sample_picture(marquee, game.width, game.height, "", colour & 0xFFFFFF), 0);
                    pictures_[game.rom] = marquee;
                }
                continue;
            }
            write_file("/host/library/" + game.system + "/" + rom_file, "rom");
            std::string entry = "<game><path>./" + xml_escaped(rom_file) + "</path><name>" + xml_escaped(game.name) + "</name>";
            std::string tag = game.system == "snes" ? "wheel" : "marquee";
            std::string file = "./media/" + game.rom + (game.width % 3 ? ".png" : ".jpg");
            if (game.kind == media::picture) {
                colour = next_colour;
                ASSERT_EQ(make_sample_picture(folder + "/" + file, game.width, game.height, "", colour & 0xFFFFFF), 0);
                pictures_[game.rom] = folder + "/" + file;
            }
            if (game.kind == media::broken)
                write_file("/host/library/" + game.system + "/" + file, "not a picture at all");
            if (game.kind != media::none)
                entry += "<" + tag + ">" + xml_escaped(file) + "</" + tag + ">";
            if (game.system == "snes")
                entry += "<image>./media/missing-screenshot.png</image>";
            if (game.video) {
                ASSERT_EQ(make_sample_clip(folder + "/media/clip.mp4", "ball", 1, 320, 240), 0);
                entry += "<video>./media/clip.mp4</video>";
            }
            lists[game.system] += entry + "</game>\n";
        }
        for (const auto& [system, entries] : lists)
            write_file("/host/library/" + system + "/gamelist.xml",
                       "<?xml version=\"1.0\"?>\n<gameList>\n" + entries + "</gameList>\n");
    }

    static board_test::command_result kit(const std::string& args)
    {
        return board_test::run_command(std::string(MEDIA_TOOL) + " " + args + " 2>&1");
    }

    // The band shows `picture` fitted inside it on black, aspect kept.
    static bool shows_fitted(const ScreenImage& screen, const ScreenImage& picture)
    {
        int64_t w = picture.width, h = picture.height;
        bool wide = w * BAND_HEIGHT >= h * BAND_WIDTH;
        int fit_w = wide ? BAND_WIDTH : static_cast<int>((w * BAND_HEIGHT + h / 2) / h);
        int fit_h = wide ? static_cast<int>((h * BAND_WIDTH + w / 2) / w) : BAND_HEIGHT;
        int left = (BAND_WIDTH - fit_w) / 2, top = (BAND_HEIGHT - fit_h) / 2;
        for (int y = 1; y < BAND_HEIGHT; y += GRID)
            for (int x = 1; x < BAND_WIDTH; x += GRID) {
                int px = x - left, py = y - top;
                bool inside = px >= 0 && py >= 0 && px < fit_w && py < fit_h;
                bool near_edge = px >= -EDGE_MARGIN && py >= -EDGE_MARGIN && px < fit_w + EDGE_MARGIN &&
                                 py < fit_h + EDGE_MARGIN &&
                                 (px < EDGE_MARGIN || py < EDGE_MARGIN || px >= fit_w - EDGE_MARGIN ||
                                  py >= fit_h - EDGE_MARGIN);
                if (near_edge)
                    continue;
                board_test::screen_pixel want{0, 0, 0, 255};
                if (inside)
                    want = board_test::pixel_at(picture, static_cast<int>((px + 0.5) * picture.width / fit_w),
                                                static_cast<int>((py + 0.5) * picture.height / fit_h));
                board_test::screen_pixel got = board_test::pixel_at(screen, x, y);
                if (abs(got.r - want.r) > FIT_TOLERANCE || abs(got.g - want.g) > FIT_TOLERANCE ||
                    abs(got.b - want.b) > FIT_TOLERANCE)
                    return false;
            }
        return true;
    }

    std::vector<library_game> games_ = make_games();
    std::map<std::string, std::string> pictures_;  // ROM name -> its scraped picture
};

TEST_F(MediaKitBoardTest, BuiltPackageShowsEveryGameAsScanPredicted)
{
    make_library();
    const std::string package = path("/host/media.zip");
    const std::string library = shell_quote(path("/host/library")) + " " + shell_quote(path("/host/ES-DE"));
    board_test::command_result built = kit("build --jobs 2 --package " + shell_quote(package) + " " + library);
    // The broken and the missing picture fail, named with their game and file; the rest is made.
    EXPECT_EQ(built.status, 1) << built.output;
    EXPECT_NE(built.output.find("Broken Disc (psx): marquee " + path("/host/library/psx/media/Broken Disc.jpg") +
                                ": not a picture that can be decoded"),
              std::string::npos)
        << built.output;
    EXPECT_NE(built.output.find("Lost Disc (psx): listed marquee " + path("/host/library/psx/media/Lost Disc.jpg") +
                                " is missing"),
              std::string::npos)
        << built.output;
    // 20 games' pictures and video, and the 4 systems' pictures.
    EXPECT_NE(built.output.find("24 made, 0 skipped, 2 failed; 2 games have none of the preferred media"), std::string::npos)
        << built.output;
    // A second run has nothing left to make.
    board_test::command_result again = kit("build --jobs 2 --package " + shell_quote(package) + " " + library);
    EXPECT_NE(again.output.find("0 made, 24 skipped, 2 failed"), std::string::npos) << again.output;

    board_test::command_result scanned =
        board_test::run_command(std::string(MEDIA_TOOL) + " scan --json --package " + shell_quote(package) + " " +
                                library + " 2>/dev/null");
    Json document(cJSON_Parse(scanned.output.c_str()), cJSON_Delete);
    ASSERT_TRUE(document) << scanned.output;
    std::map<std::string, std::string> predicted;
    const cJSON* entry;
    cJSON_ArrayForEach(entry, cJSON_GetObjectItem(document.get(), "games"))
        predicted[cJSON_GetObjectItem(entry, "romname")->valuestring] = cJSON_GetObjectItem(entry, "shows")->valuestring;
    ASSERT_EQ(predicted.size(), games_.size());
    std::map<std::string, std::string> systems;  // key -> what the board shows, from which source
    cJSON_ArrayForEach(entry, cJSON_GetObjectItem(document.get(), "systems"))
        systems[cJSON_GetObjectItem(entry, "key")->valuestring] =
            std::string(cJSON_GetObjectItem(entry, "shows")->valuestring) + ", " +
            cJSON_GetObjectItem(entry, "picture_tag")->valuestring;
    EXPECT_EQ(systems, (std::map<std::string, std::string>{{"@arcade", "picture only, card"},
                                                           {"@megadrive", "picture only, card"},
                                                           {"@psx", "picture only, card"},
                                                           {"@snes", "picture only, theme linear-es-de"}}));

    std::error_code error;
    fs::create_directories(path(std::string("/media/") + SIM_DEFAULT_DISK + "/vorlix"), error);
    start_program(PLAYER_PROGRAM, path("/sim/player.log"));
    ASSERT_TRUE(board_test::wait_until([] { return host("--timeout 1 state") == 0; }, BOARD_TIMEOUT)) << log();
    ASSERT_EQ(host("package " + shell_quote(package)), 0) << log();

    ASSERT_EQ(TTF_Init(), 0);
    std::unique_ptr<TTF_Font, decltype(&TTF_CloseFont)> font(
        TTF_OpenFont(path("/rom/vorlix/fonts/Futura_Medium.ttf").c_str(), TITLE_POINTS), TTF_CloseFont);
    ASSERT_TRUE(font);
    for (const library_game& game : games_) {
        std::string rom = "/roms/" + game.system + "/" + game.rom + ROM_EXTENSION;
        lookup_keys keys = game_lookup_keys(rom, game.name);
        bool picture = game.kind == media::picture;
        EXPECT_EQ(predicted[keys.romname], picture ? (game.video ? "picture and video" : "picture only") : "title card")
            << game.rom;
        // As the generic hook names a game: its ROM path and the frontend's name.
        ASSERT_EQ(host("info --rom " + shell_quote(rom) + " --title " + shell_quote(game.name)), 0) << game.rom;
        std::function<bool(const ScreenImage&)> expected;
        ScreenImage scraped;
        board_test::Ink card;
        if (picture) {
            ASSERT_EQ(load_picture(pictures_[game.rom], scraped), 0);
            expected = [&](const ScreenImage& screen) { return shows_fitted(screen, scraped); };
        } else {
            UniqueSurface text(TTF_RenderUTF8_Blended(font.get(), keys.title.c_str(), {255, 255, 255, 255}));
            card = board_test::text_ink(text.get());
            expected = [&](const ScreenImage& screen) {
                return board_test::same_ink(board_test::band_ink(screen, BAND_HEIGHT), card,
                                            board_test::COLOUR_TOLERANCE);
            };
        }
        EXPECT_TRUE(board_test::wait_for_screen_that(expected, SHOWN_WITHIN).has_value())
            << game.rom << (picture ? ": its converted picture" : ": its title card") << "\n" << log();
    }
    // A system as the hooks name it: the band shows the theme's logo the build drew, its two
    // colours one above the other, on black.
    ASSERT_EQ(host("info --system snes --title 'Super Nintendo'"), 0);
    ScreenImage logo;
    ASSERT_EQ(load_picture(package + ".cache/vorlix/@snes.png", logo), 0);
    EXPECT_GT(board_test::pixel_at(logo, 960, 100).r, 200);
    EXPECT_GT(board_test::pixel_at(logo, 960, 260).g, 200);
    EXPECT_EQ(board_test::pixel_at(logo, 100, 180).g, 0);
    EXPECT_TRUE(board_test::wait_for_screen_that([&](const ScreenImage& screen) { return shows_fitted(screen, logo); },
                                                 SHOWN_WITHIN)
                    .has_value())
        << "the SNES logo\n" << log();
}

} // namespace
