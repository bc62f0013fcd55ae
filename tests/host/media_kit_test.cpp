// tavimoro-media scan on an awkward library: gamelists with entities, sub-folder paths, non-ASCII
// names, <folder> entries and a broken file, a ROM folder without a gamelist, a disk and a package.
#include "core/board_root.h"
#include "tests/support/board_fixture.h"

#include <cjson/cJSON.h>

#include <map>
#include <memory>
#include <string>

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

} // namespace
