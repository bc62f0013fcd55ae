// The library readers on small libraries laid out as each frontend writes them: the games they
// find (ROM, name, system) and the media candidates, best first.
#include "host/kit/library.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

using media_map = std::map<std::string, std::vector<std::string>>;

class LibraryTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::string pattern = (fs::temp_directory_path() / "tavimoro-library-XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        top_ = pattern;
    }
    void TearDown() override { fs::remove_all(top_); }

    std::string path(const std::string& relative) const { return (top_ / relative).string(); }

    // Writes a file (its folders made); a media file holds a byte, its contents do not matter.
    void write(const std::string& relative, const std::string& contents = "x") const
    {
        fs::create_directories(fs::path(path(relative)).parent_path());
        std::ofstream(path(relative)) << contents;
    }

    // The games read from `input`, by ROM, and the layout that read them.
    std::map<std::string, scraped_game> read(const std::string& input, std::string& layout) const
    {
        std::vector<scraped_game> games;
        library_result result = read_library(input, false, games);
        layout = result.layout ? result.layout->name : "";
        EXPECT_EQ(result.problems, 0);
        std::map<std::string, scraped_game> by_rom;
        for (scraped_game& game : games)
            EXPECT_TRUE(by_rom.emplace(game.rom, std::move(game)).second) << "a ROM listed twice";
        return by_rom;
    }

    fs::path top_;
};

TEST_F(LibraryTest, RetroArchPlaylistsAndTheirThumbnails)
{
    const std::string config = "retroarch";
    const std::string thumbs = path("thumbs");
    // As RetroArch writes them: the config with its directories, the playlists (JSON, and the
    // old six-line format for MAME), and the thumbnails under each database's name.
    write(config + "/retroarch.cfg", "config_save_on_exit = \"true\"\nplaylist_directory = \"default\"\n"
                                     "thumbnails_directory = \"" + thumbs + "\"\nplaylist_allow_non_png = \"false\"\n");
    write(config + "/playlists/Nintendo - Super Nintendo Entertainment System.lpl", R"lpl({
  "version": "1.5",
  "default_core_path": "",
  "default_core_name": "",
  "label_display_mode": 0,
  "right_thumbnail_mode": 0,
  "left_thumbnail_mode": 0,
  "thumbnail_match_mode": 0,
  "sort_mode": 0,
  "items": [
    {
      "path": "/roms/snes/Qbert (USA).zip#Qbert (USA).sfc",
      "label": "Q*bert's Qubes: \"Deluxe\" (USA)",
      "core_path": "DETECT",
      "core_name": "DETECT",
      "crc32": "DD28D1E8|crc",
      "db_name": "Nintendo - Super Nintendo Entertainment System.lpl"
    },
    {
      "path": "/roms/snes/Sonic.sfc",
      "label": "",
      "core_path": "DETECT",
      "core_name": "DETECT",
      "crc32": "",
      "db_name": "Nintendo - Satellaview.lpl"
    }
  ]
}
)lpl");
    write(config + "/playlists/MAME 2003-Plus.lpl", "/roms/mame/sf2.zip\nStreet Fighter II: The World Warrior\n"
                                                    "DETECT\nDETECT\n00000000|crc\n\n"
                                                    "default_core_path = \"\"\ndefault_core_name = \"\"\n");
    write(config + "/playlists/content_history.lpl", R"({"version": "1.5", "items": [{"path": "/roms/snes/Sonic.sfc",
        "label": "", "db_name": "Nintendo - Satellaview.lpl"}]})");
    const std::string snes = thumbs + "/Nintendo - Super Nintendo Entertainment System";
    write(snes + "/Named_Boxarts/Q_bert's Qubes_ _Deluxe_ (USA).png");  // the label, its characters replaced
    write(snes + "/Named_Snaps/Qbert (USA).png");                        // the content file's name, tried first
    write(snes + "/Named_Snaps/Q_bert's Qubes_ _Deluxe_ (USA).png");
    write(snes + "/Named_Titles/Q_bert's Qubes_ _Deluxe_.png");          // the label cut before " ("
    write(snes + "/Named_Titles/Q*bert's Qubes: \"Deluxe\" (USA).png"); // never: RetroArch replaces those
    write(thumbs + "/Nintendo - Satellaview/Named_Boxarts/Sonic.png");
    write(thumbs + "/Nintendo - Satellaview/Named_Boxarts/Sonic.jpg");  // only with playlist_allow_non_png
    write(thumbs + "/MAME/Named_Logos/Street Fighter II_ The World Warrior.png");

    std::string layout;
    std::map<std::string, scraped_game> games = read(path(config), layout);
    EXPECT_EQ(layout, "RetroArch playlists");
    ASSERT_EQ(games.size(), 3u);  // the history playlist repeats a game, and is passed over

    const scraped_game& qbert = games.at("/roms/snes/Qbert (USA).zip");  // the archive, not the file in it
    EXPECT_EQ(qbert.name, "Q*bert's Qubes: \"Deluxe\" (USA)");
    EXPECT_EQ(qbert.system, "Nintendo - Super Nintendo Entertainment System");
    EXPECT_EQ(qbert.media, (media_map{{"boxart", {snes + "/Named_Boxarts/Q_bert's Qubes_ _Deluxe_ (USA).png"}},
                                      {"screenshot",
                                       {snes + "/Named_Snaps/Qbert (USA).png",
                                        snes + "/Named_Snaps/Q_bert's Qubes_ _Deluxe_ (USA).png"}},
                                      {"titleshot", {snes + "/Named_Titles/Q_bert's Qubes_ _Deluxe_.png"}}}));

    const scraped_game& sonic = games.at("/roms/snes/Sonic.sfc");
    EXPECT_EQ(sonic.name, "Sonic");  // no label: the file's name
    EXPECT_EQ(sonic.system, "Nintendo - Super Nintendo Entertainment System");
    EXPECT_EQ(sonic.media, (media_map{{"boxart", {thumbs + "/Nintendo - Satellaview/Named_Boxarts/Sonic.png"}}}));

    const scraped_game& sf2 = games.at("/roms/mame/sf2.zip");
    EXPECT_EQ(sf2.name, "Street Fighter II: The World Warrior");
    EXPECT_EQ(sf2.system, "MAME 2003-Plus");  // its thumbnails are MAME's, as for every "MAME..." database
    EXPECT_EQ(sf2.media,
              (media_map{{"logo", {thumbs + "/MAME/Named_Logos/Street Fighter II_ The World Warrior.png"}}}));

    // One playlist, read with the config folder above its folder.
    media_map sf2_media = sf2.media;
    games = read(path(config + "/playlists/MAME 2003-Plus.lpl"), layout);
    ASSERT_EQ(games.size(), 1u);
    EXPECT_EQ(games.begin()->second.media, sf2_media);
}

TEST_F(LibraryTest, AttractModeRomlistsWithTheirEmulatorsArtwork)
{
    // As Attract-Mode writes them: attract.cfg, a romlist made by its import, and the emulator
    // with its ROM and artwork folders (relative to the config folder here).
    write("attract/attract.cfg", "display\tArcade\n\tlayout               Basic\n\tromlist              Arcade\n");
    write("attract/romlists/Arcade.txt",
          "#Name;Title;Emulator;CloneOf;Year;Manufacturer;Category;Players;Rotation;Control;Status;DisplayCount;"
          "DisplayType;AltRomname;AltTitle;Extra;Buttons;Series;Language;Region;Rating\n"
          "sf2;Street Fighter II: The World Warrior (World 910522);mame;;1991;Capcom;Fighter / Versus;2;0;"
          "joystick (8-way);good;1;raster;;;;6;;;;\n"
          "sf2ua;\"Street Fighter II; US, rev A\";mame;sf2;1991;Capcom;Fighter / Versus;2;0;;good;1;raster;;;;6;;;;\n"
          "pacman;Pac-Man;mame;puckman;1980;Namco;Maze;2;90;joystick (4-way);good;1;raster;;;;1;;;;\n"
          "dkong;Donkey Kong (US set 1);mame;;1981;Nintendo;Platform;2;90;;good;1;raster;;;;1;;;;\n"
          "Arcade;Arcade;@;;;;;;;;;;;;;;;;;;\n");
    write("attract/emulators/mame.cfg", "# Generated by Attract-Mode v2.7.0\n#\nexecutable           mame\n"
                                        "args                 [name]\nrompath              roms/mame\n"
                                        "romext               .zip;.7z\nsystem               Arcade\n"
                                        "info_source          listxml\n"
                                        "artwork    flyer           art/flyer\n"
                                        "artwork    marquee         art/marquee\n"
                                        "artwork    snap            art/videos;art/snap\n"
                                        "artwork    wheel           art/wheel\n"
                                        "artwork    cabinet         art/cabinet\n");
    const std::string am = path("attract");
    write("attract/roms/mame/sf2.zip");
    write("attract/roms/mame/sf2ua.7z");
    write("attract/roms/mame/pacman.ZIP");
    write("attract/art/snap/sf2.png");
    write("attract/art/videos/sf2.mp4");
    write("attract/art/marquee/sf2.PNG");
    write("attract/art/flyer/sf2.jpg");          // sf2ua has none: its parent's
    write("attract/art/wheel/sf2ua/logo.png");   // a folder named for the game
    write("attract/art/cabinet/sf2.png");        // a label the kit has no tag for
    write("attract/scraper/mame/fanart/sf2.jpg");  // what Attract-Mode's scraper fetched

    std::string layout;
    std::map<std::string, scraped_game> games = read(am, layout);
    EXPECT_EQ(layout, "Attract-Mode romlists");
    ASSERT_EQ(games.size(), 4u);  // not the displays-menu entry

    const scraped_game& sf2 = games.at(am + "/roms/mame/sf2.zip");
    EXPECT_EQ(sf2.name, "Street Fighter II: The World Warrior (World 910522)");
    EXPECT_EQ(sf2.system, "Arcade");
    EXPECT_EQ(sf2.media, (media_map{{"boxart", {am + "/art/flyer/sf2.jpg"}},
                                    {"marquee", {am + "/art/marquee/sf2.PNG"}},
                                    {"screenshot", {am + "/art/snap/sf2.png"}},
                                    {"video", {am + "/art/videos/sf2.mp4"}},
                                    {"fanart", {am + "/scraper/mame/fanart/sf2.jpg"}}}));

    // A clone: what it lacks is its parent's; its own wheel is in a folder of its name.
    const scraped_game& sf2ua = games.at(am + "/roms/mame/sf2ua.7z");
    EXPECT_EQ(sf2ua.name, "Street Fighter II; US, rev A");
    EXPECT_EQ(sf2ua.media, (media_map{{"boxart", {am + "/art/flyer/sf2.jpg"}},
                                      {"marquee", {am + "/art/marquee/sf2.PNG"}},
                                      {"screenshot", {am + "/art/snap/sf2.png"}},
                                      {"video", {am + "/art/videos/sf2.mp4"}},
                                      {"wheel", {am + "/art/wheel/sf2ua/logo.png"}},
                                      {"fanart", {am + "/scraper/mame/fanart/sf2.jpg"}}}));

    // No artwork, nor any for its parent: no media.
    const scraped_game& pacman = games.at(am + "/roms/mame/pacman.ZIP");
    EXPECT_EQ(pacman.name, "Pac-Man");
    EXPECT_TRUE(pacman.media.empty());

    // No ROM file: a path in the ROM folder that carries the ROM's name.
    const scraped_game& dkong = games.at(am + "/roms/mame/dkong.zip");
    EXPECT_EQ(dkong.name, "Donkey Kong (US set 1)");
    EXPECT_TRUE(dkong.media.empty());

    // One romlist, read with the config folder above its folder.
    media_map sf2ua_media = sf2ua.media;
    games = read(am + "/romlists/Arcade.txt", layout);
    EXPECT_EQ(layout, "Attract-Mode romlists");
    ASSERT_EQ(games.size(), 4u);
    EXPECT_EQ(games.at(am + "/roms/mame/sf2ua.7z").media, sf2ua_media);
}

} // namespace
