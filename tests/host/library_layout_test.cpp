// The library readers on small libraries laid out as each frontend and scraper writes them: the
// games they find, which are hidden, and each game's media candidates in order.
#include "host/kit/library.h"
#include "tests/support/board_fixture.h"

#include <cstdlib>
#include <initializer_list>
#include <map>
#include <string>
#include <vector>

namespace {

using media_map = std::map<std::string, std::vector<std::string>>;

class LibraryLayoutTest : public board_test::BoardRootTest {
protected:
    static void touch(std::initializer_list<std::string> files)
    {
        for (const std::string& file : files)
            write_file(file, "x");
    }

    // The games read from `input`, by ROM path.
    std::map<std::string, scraped_game> read(const std::string& input, bool hidden = false)
    {
        std::vector<scraped_game> games;
        result = read_library(path(input), hidden, games);
        std::map<std::string, scraped_game> by_rom;
        for (scraped_game& game : games)
            by_rom[game.rom] = std::move(game);
        return by_rom;
    }

    library_result result;
};

TEST_F(LibraryLayoutTest, RetroPieWithSkyscraperDefaultsUnderEmulationStationFolder)
{
    const std::string home = "/host/home/pi", es = home + "/.emulationstation", roms = home + "/RetroPie/roms";
    const std::string media = es + "/downloaded_media";
    write_file(es + "/es_systems.cfg", R"(<systemList>
  <system><name>snes</name><path>~/RetroPie/roms/snes</path><extension>.sfc .SFC</extension></system>
  <system><name>megadrive</name><path>~/RetroPie/roms/megadrive</path><extension>.md .MD</extension></system>
</systemList>)");
    // As EmulationStation saves it: the ROM relative to the ROM folder, media in the home with ~/.
    write_file(es + "/gamelists/snes/gamelist.xml", "<gameList>\n"
               "<game><path>./Super Metroid.sfc</path><name>Super Metroid</name>"
               "<image>~/.emulationstation/downloaded_media/snes/screenshots/Super Metroid.png</image></game>\n"
               "<game><path>./F-Zero.SFC</path><name>F-Zero</name></game>\n</gameList>");
    touch({roms + "/snes/Super Metroid.sfc", roms + "/snes/F-Zero.SFC", roms + "/megadrive/Sonic.md",
           roms + "/megadrive/Sonic.srm", media + "/snes/marquees/Super Metroid.png", media + "/snes/wheels/F-Zero.png",
           media + "/snes/screenshots/F-Zero.jpg", media + "/megadrive/covers/Sonic.png"});
    std::map<std::string, scraped_game> games = read(es);
    ASSERT_EQ(games.size(), 3u);
    const scraped_game& metroid = games[path(roms + "/snes/Super Metroid.sfc")];
    EXPECT_EQ(metroid.name, "Super Metroid");
    EXPECT_EQ(metroid.media, (media_map{{"image", {path(media + "/snes/screenshots/Super Metroid.png")}},
                                        {"marquee", {path(media + "/snes/marquees/Super Metroid.png")}}}));
    EXPECT_EQ(games[path(roms + "/snes/F-Zero.SFC")].media,
              (media_map{{"wheel", {path(media + "/snes/wheels/F-Zero.png")}},
                         {"screenshot", {path(media + "/snes/screenshots/F-Zero.jpg")}}}));
    const scraped_game& sonic = games[path(roms + "/megadrive/Sonic.md")];
    EXPECT_EQ(sonic.system, "megadrive");
    EXPECT_EQ(sonic.media, (media_map{{"boxart", {path(media + "/megadrive/covers/Sonic.png")}}}));
}

TEST_F(LibraryLayoutTest, EsDeFindsEveryRomAndItsMediaByPath)
{
    const std::string data = "/host/home/ES-DE", roms = "/host/ROMs", media = data + "/downloaded_media";
    write_file(data + "/settings/es_settings.xml", "<?xml version=\"1.0\"?>\n"
               "<bool name=\"ShowHiddenGames\" value=\"true\" />\n"
               "<string name=\"ROMDirectory\" value=\"" + path(roms) + "\" />\n");
    write_file(data + "/custom_systems/es_systems.xml", "<systemList><system><name>ps3</name>"
               "<path>%ROMPATH%/ps3</path><extension>.ps3 .PS3</extension></system></systemList>");
    write_file(data + "/gamelists/snes/gamelist.xml", "<gameList>"
               "<game><path>./RPG/Chrono Trigger.sfc</path><name>Chrono Trigger</name></game>"
               "<game><path>./Zelda.sfc</path><name>Zelda</name><hidden>true</hidden></game></gameList>");
    touch({roms + "/ps3/Gran Turismo 5.ps3/PS3_GAME/USRDIR/EBOOT.BIN", roms + "/snes/RPG/Chrono Trigger.sfc",
           roms + "/snes/Zelda.sfc", roms + "/snes/Unscraped.smc", media + "/ps3/covers/Gran Turismo 5.ps3.png",
           media + "/snes/marquees/RPG/Chrono Trigger.png", media + "/snes/marquees/RPG/Chrono Trigger.jpg",
           media + "/snes/videos/RPG/Chrono Trigger.mp4", media + "/snes/physicalmedia/RPG/Chrono Trigger.jpg"});
    std::map<std::string, scraped_game> games = read(data);
    EXPECT_EQ(result.hidden_left_out, 1u);
    ASSERT_EQ(games.size(), 3u);
    EXPECT_EQ(games[path(roms + "/ps3/Gran Turismo 5.ps3")].media,
              (media_map{{"boxart", {path(media + "/ps3/covers/Gran Turismo 5.ps3.png")}}}));
    const scraped_game& chrono = games[path(roms + "/snes/RPG/Chrono Trigger.sfc")];
    EXPECT_EQ(chrono.name, "Chrono Trigger");
    EXPECT_EQ(chrono.media, (media_map{{"marquee", {path(media + "/snes/marquees/RPG/Chrono Trigger.png")}},
                                       {"video", {path(media + "/snes/videos/RPG/Chrono Trigger.mp4")}},
                                       {"cartridge", {path(media + "/snes/physicalmedia/RPG/Chrono Trigger.jpg")}}}));
    EXPECT_EQ(games[path(roms + "/snes/Unscraped.smc")].name, "");
    // The ROM folder, with ES-DE's data folder where ESDE_APPDATA_DIR says: the same library.
    setenv("ESDE_APPDATA_DIR", path(data).c_str(), 1);
    std::map<std::string, scraped_game> from_roms = read(roms, true);
    unsetenv("ESDE_APPDATA_DIR");
    EXPECT_EQ(from_roms.size(), 4u);
    EXPECT_TRUE(from_roms[path(roms + "/snes/Zelda.sfc")].hidden);
}

TEST_F(LibraryLayoutTest, EsDeWithoutGamelistsReadsEachSystemByItsExtensions)
{
    // Media placed by hand, no gamelist and no custom system: ES-DE still shows every ROM of a
    // system, by the extensions of its bundled list; a BIOS or a note beside the ROMs is no game.
    const std::string data = "/host/home/ES-DE", roms = "/host/ROMs", media = data + "/downloaded_media";
    write_file(data + "/settings/es_settings.xml",
               "<string name=\"ROMDirectory\" value=\"" + path(roms) + "\" />\n");
    touch({roms + "/genesis/Sonic.md", roms + "/genesis/Streets of Rage.7z", roms + "/genesis/Snatcher.chd",
           roms + "/genesis/notes.doc", roms + "/genesis/Sonic.srm", roms + "/atarilynx/Chip's Challenge.lnx",
           roms + "/atarilynx/lynxboot.img", media + "/genesis/marquees/Sonic.png",
           media + "/genesis/screenshots/Streets of Rage.jpg", media + "/atarilynx/marquees/Chip's Challenge.png"});
    std::map<std::string, scraped_game> games = read(data);
    std::vector<std::string> found;
    for (const auto& [rom, game] : games)
        found.push_back(rom);
    EXPECT_EQ(found, (std::vector<std::string>{path(roms + "/atarilynx/Chip's Challenge.lnx"),
                                               path(roms + "/genesis/Snatcher.chd"), path(roms + "/genesis/Sonic.md"),
                                               path(roms + "/genesis/Streets of Rage.7z")}));
    const scraped_game& sonic = games[path(roms + "/genesis/Sonic.md")];
    EXPECT_EQ(sonic.system, "genesis");
    EXPECT_EQ(sonic.media, (media_map{{"marquee", {path(media + "/genesis/marquees/Sonic.png")}}}));
    EXPECT_EQ(games[path(roms + "/genesis/Streets of Rage.7z")].media,
              (media_map{{"screenshot", {path(media + "/genesis/screenshots/Streets of Rage.jpg")}}}));
    EXPECT_TRUE(games[path(roms + "/genesis/Snatcher.chd")].media.empty());
    EXPECT_EQ(games[path(roms + "/atarilynx/Chip's Challenge.lnx")].media,
              (media_map{{"marquee", {path(media + "/atarilynx/marquees/Chip's Challenge.png")}}}));
}

TEST_F(LibraryLayoutTest, PegasusMetadataWithTwoCollectionsListedAssetsAndMediaFolders)
{
    const std::string games_folder = "/host/games", at = path(games_folder);
    write_file(games_folder + "/metadata.pegasus.txt", R"(# Two systems in one file
collection: Super Nintendo
shortname: snes
extensions: SFC, smc
description: Nintendo's
  16-bit console.
  .
  #3 of its line

game: Super Metroid
file: snes/Super Metroid (USA).sfc
assets.boxFront: art/metroid-box.png
assets.marquee:
  art/metroid-marquee.png

collection: Mega Drive
shortname: megadrive
extension: md
ignore-files:
  megadrive/Test Cart.md

game: Sonic the Hedgehog
files:
  megadrive/Sonic.md
x-scraped-by: hand
)");
    touch({games_folder + "/snes/Super Metroid (USA).sfc", games_folder + "/snes/F-Zero.smc",
           games_folder + "/snes/F-Zero.srm", games_folder + "/megadrive/Sonic.md",
           games_folder + "/megadrive/Test Cart.md", games_folder + "/media/backup.sfc",
           games_folder + "/media/snes/Super Metroid (USA)/screenshot.png",
           games_folder + "/media/snes/Super Metroid/logo.png", games_folder + "/media/snes/F-Zero/marquee.jpg",
           games_folder + "/media/snes/F-Zero/marquee.gif", games_folder + "/media/snes/F-Zero/boxFront2.webp",
           games_folder + "/media/snes/F-Zero/boxspine.png", games_folder + "/media/megadrive/Sonic/video.mp4",
           games_folder + "/media/megadrive/Sonic/background.jpg"});
    struct expected {
        std::string rom, system, name;
        media_map media;
    };
    const std::string media = at + "/media";
    const expected want[] = {
        {at + "/megadrive/Sonic.md", "megadrive", "Sonic the Hedgehog",
         {{"fanart", {media + "/megadrive/Sonic/background.jpg"}}, {"video", {media + "/megadrive/Sonic/video.mp4"}}}},
        {at + "/snes/F-Zero.smc", "snes", "",
         {{"marquee", {media + "/snes/F-Zero/marquee.jpg"}}, {"boxart", {media + "/snes/F-Zero/boxFront2.webp"}}}},
        {at + "/snes/Super Metroid (USA).sfc", "snes", "Super Metroid",
         {{"boxart", {at + "/art/metroid-box.png"}},
          {"marquee", {at + "/art/metroid-marquee.png"}},
          {"screenshot", {media + "/snes/Super Metroid (USA)/screenshot.png"}},
          {"logo", {media + "/snes/Super Metroid/logo.png"}}}},
    };
    // The game folder, its metadata file, and a folder of game folders read the same.
    for (const std::string& input : {games_folder, games_folder + "/metadata.pegasus.txt", std::string("/host")}) {
        std::map<std::string, scraped_game> games = read(input);
        EXPECT_EQ(result.problems, 0) << input;
        ASSERT_EQ(games.size(), std::size(want)) << input;
        for (const expected& game : want) {
            const scraped_game& found = games[game.rom];
            EXPECT_EQ(found.system, game.system) << game.rom;
            EXPECT_EQ(found.name, game.name) << game.rom;
            EXPECT_EQ(found.media, game.media) << game.rom;
        }
    }
}

TEST_F(LibraryLayoutTest, BatoceraDataFolderWithScraperImagesAndAHiddenGame)
{
    const std::string snes = "/host/userdata/roms/snes";
    write_file(snes + "/gamelist.xml", "<gameList><game><path>./Mario.sfc</path><name>Super Mario World</name>"
               "<image>./images/Mario-image.png</image></game>"
               "<game><path>./Kirby.sfc</path><name>Kirby</name><hidden>true</hidden></game></gameList>");
    touch({snes + "/Mario.sfc", snes + "/Kirby.sfc", snes + "/images/Mario-image.png",
           snes + "/images/Mario-marquee.png", snes + "/images/Mario-thumb.jpg", snes + "/videos/Mario-video.mp4",
           snes + "/images/Kirby-marquee.png"});
    std::map<std::string, scraped_game> games = read("/host/userdata");
    EXPECT_EQ(result.hidden_left_out, 1u);
    ASSERT_EQ(games.size(), 1u);
    const scraped_game& mario = games[path(snes + "/Mario.sfc")];
    EXPECT_EQ(mario.name, "Super Mario World");
    EXPECT_EQ(mario.media, (media_map{{"image", {path(snes + "/images/Mario-image.png")}},
                                      {"marquee", {path(snes + "/images/Mario-marquee.png")}},
                                      {"thumbnail", {path(snes + "/images/Mario-thumb.jpg")}},
                                      {"video", {path(snes + "/videos/Mario-video.mp4")}}}));
    EXPECT_TRUE(read("/host/userdata", true)[path(snes + "/Kirby.sfc")].hidden);
}

TEST_F(LibraryLayoutTest, RomFolderWithScraperMediaFoldersAndSavesBesideTheRoms)
{
    // A system the kit has no extensions for: saves and media must still not count as games.
    const std::string vectrex = "/host/roms/vectrex";
    touch({vectrex + "/Mine Storm.vec", vectrex + "/Mine Storm.srm", vectrex + "/Mine Storm.state1",
           vectrex + "/Bedlam.vec", vectrex + "/Bedlam.sav", vectrex + "/media/screenshots/Mine Storm.png",
           vectrex + "/media/wheels/Mine Storm.png", vectrex + "/media/box2dfront/Bedlam.png",
           vectrex + "/media/marquee/Bedlam.png", vectrex + "/media/screenmarquee/Bedlam.png",
           vectrex + "/media/videos/Bedlam.mp4"});
    std::map<std::string, scraped_game> games = read(vectrex);
    ASSERT_EQ(games.size(), 2u);
    const std::string at = path(vectrex + "/media");
    EXPECT_EQ(games[path(vectrex + "/Mine Storm.vec")].media,
              (media_map{{"wheel", {at + "/wheels/Mine Storm.png"}},
                         {"screenshot", {at + "/screenshots/Mine Storm.png"}}}));
    EXPECT_EQ(games[path(vectrex + "/Bedlam.vec")].media,
              (media_map{{"marquee", {at + "/marquee/Bedlam.png", at + "/screenmarquee/Bedlam.png"}},
                         {"boxart", {at + "/box2dfront/Bedlam.png"}},
                         {"video", {at + "/videos/Bedlam.mp4"}}}));
}

} // namespace
