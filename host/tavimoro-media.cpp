// tavimoro-media: the owner's media kit. Reads what the frontend scraped and tells, with the
// player's own lookup, what the board will show for every game.
#include "host/gamelist.h"
#include "host/lookup_keys.h"
#include "hostlink/package_unpack.h"
#include "media/media_lookup.h"

#include <cjson/cJSON.h>
#include <fcntl.h>
#include <getopt.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

constexpr const char* USAGE = R"(Usage: tavimoro-media scan [--json] (--disk DIR | --package ZIP) LIBRARY...

Tells what the marquee board will show for every game of a frontend's library.

LIBRARY is a gamelist.xml file, a folder holding one, or a folder of systems (each a folder
with a gamelist.xml, or with ROM files only).

  --disk DIR      the board's USB disk (mounted, or a folder): DIR/vorlix, or DIR itself when
                  it is the product directory "vorlix"
  --package ZIP   a media package, unpacked as the board unpacks it into a scratch folder
  --json          one JSON document instead of the table
  -h, --help      this help

Exit status: 0 done, 1 some input could not be read (the other games are still listed),
2 wrong usage.
)";

constexpr int EXIT_INPUT = 1;
constexpr int EXIT_USAGE = 2;
// A package is unpacked for the scan only: the scratch folder's room is not what is checked.
constexpr int64_t SCRATCH_ROOM = INT64_MAX;

struct options {
    bool json = false;
    std::string disk, package;
    std::vector<std::string> inputs;
};

// What the board will show for one game, found by the player's own lookup.
struct prediction {
    const scraped_game* game;
    lookup_keys keys;
    std::string picture, video;
    const char* shows() const
    {
        if (!picture.empty())
            return video.empty() ? "picture only" : "picture and video";
        return video.empty() ? "title card" : "video only";
    }
};

constexpr const char* CASES[] = {"picture and video", "picture only", "video only", "title card"};

struct ScratchFolder {
    std::string path;
    ~ScratchFolder()
    {
        if (!path.empty())
            fs::remove_all(path);
    }
};

// The player's lookup logs to standard output, where the kit writes its report; a tree the disk
// lacks ("Failed to open .../ext") is normal there, so the lookup's lines are dropped meanwhile.
class QuietStdout {
public:
    QuietStdout() : saved_(dup(STDOUT_FILENO))
    {
        fflush(stdout);
        int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
        dup2(null, STDOUT_FILENO);
        close(null);
    }
    ~QuietStdout()
    {
        fflush(stdout);
        dup2(saved_, STDOUT_FILENO);
        close(saved_);
    }
    QuietStdout(const QuietStdout&) = delete;
    QuietStdout& operator=(const QuietStdout&) = delete;

private:
    int saved_;
};

std::string product_directory(const std::string& disk)
{
    fs::path path = fs::absolute(disk).lexically_normal();
    if (fs::is_directory(path / "vorlix"))
        return (path / "vorlix").string();
    return path.string();
}

prediction predict(const scraped_game& game, const std::string& product)
{
    prediction result{&game, game_lookup_keys(game.rom, game.name), "", ""};
    banner_bar_t record{};
    find_game_media(product.c_str(), result.keys.title.c_str(), result.keys.romname.c_str(), &record);
    result.picture = record.image_file;
    result.video = record.video_file;
    return result;
}

// Games whose ROM names are the same key for the board once lower-cased.
std::map<std::string, std::vector<const prediction*>> collisions(const std::vector<prediction>& predictions)
{
    std::map<std::string, std::vector<const prediction*>> by_key;
    for (const prediction& p : predictions) {
        std::string key = p.keys.romname;
        for (char& c : key)
            c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
        by_key[key].push_back(&p);
    }
    std::erase_if(by_key, [](const auto& entry) { return entry.second.size() < 2; });
    return by_key;
}

std::string relative_to(const std::string& file, const std::string& product)
{
    return file.empty() ? "" : fs::path(file).lexically_relative(product).string();
}

void print_table(const std::vector<prediction>& predictions, const std::string& product)
{
    printf("%-12s %-36s %-28s %-18s %s\n", "system", "game", "rom name", "shows", "from");
    for (const prediction& p : predictions) {
        std::string from = p.picture.empty() ? "-" : relative_to(p.picture, product);
        if (!p.video.empty())
            from += ", " + relative_to(p.video, product);
        printf("%-12s %-36s %-28s %-18s %s\n", p.game->system.c_str(), p.keys.title.c_str(), p.keys.romname.c_str(),
               p.shows(), from.c_str());
    }
    printf("\n%zu games:", predictions.size());
    for (const char* shows : CASES) {
        size_t count = 0;
        for (const prediction& p : predictions)
            count += std::string(p.shows()) == shows;
        printf(" %zu %s%s", count, shows, shows == CASES[3] ? "\n" : ",");
    }
    for (const auto& [key, games] : collisions(predictions)) {
        printf("collision: %zu games are the same ROM key \"%s\" for the board:", games.size(), key.c_str());
        for (const prediction* p : games)
            printf(" %s (%s)", p->game->rom.c_str(), p->game->source.c_str());
        printf("\n");
    }
}

void print_json(const std::vector<prediction>& predictions, const std::string& product)
{
    using Json = std::unique_ptr<cJSON, decltype(&cJSON_Delete)>;
    Json root(cJSON_CreateObject(), cJSON_Delete);
    cJSON* games = cJSON_AddArrayToObject(root.get(), "games");
    cJSON* summary = cJSON_AddObjectToObject(root.get(), "summary");
    for (const char* shows : CASES)
        cJSON_AddNumberToObject(summary, shows, 0);
    for (const prediction& p : predictions) {
        cJSON* game = cJSON_CreateObject();
        cJSON_AddStringToObject(game, "system", p.game->system.c_str());
        cJSON_AddStringToObject(game, "source", p.game->source.c_str());
        cJSON_AddStringToObject(game, "rom", p.game->rom.c_str());
        cJSON_AddStringToObject(game, "title", p.keys.title.c_str());
        cJSON_AddStringToObject(game, "romname", p.keys.romname.c_str());
        cJSON_AddStringToObject(game, "shows", p.shows());
        cJSON_AddStringToObject(game, "picture", relative_to(p.picture, product).c_str());
        cJSON_AddStringToObject(game, "video", relative_to(p.video, product).c_str());
        cJSON_AddItemToArray(games, game);
        cJSON* count = cJSON_GetObjectItemCaseSensitive(summary, p.shows());
        cJSON_SetNumberValue(count, count->valuedouble + 1);
    }
    cJSON* clashes = cJSON_AddArrayToObject(root.get(), "collisions");
    for (const auto& [key, colliding] : collisions(predictions)) {
        cJSON* clash = cJSON_CreateObject();
        cJSON_AddStringToObject(clash, "key", key.c_str());
        cJSON* roms = cJSON_AddArrayToObject(clash, "roms");
        for (const prediction* p : colliding)
            cJSON_AddItemToArray(roms, cJSON_CreateString(p->game->rom.c_str()));
        cJSON_AddItemToArray(clashes, clash);
    }
    std::unique_ptr<char, decltype(&cJSON_free)> text(cJSON_Print(root.get()), cJSON_free);
    printf("%s\n", text.get());
}

int command_scan(const options& opt)
{
    if (opt.disk.empty() == opt.package.empty() || opt.inputs.empty()) {
        fprintf(stderr, "tavimoro-media: scan needs --disk or --package and a library; see --help\n");
        return EXIT_USAGE;
    }
    ScratchFolder scratch;
    std::string product;
    if (!opt.package.empty()) {
        char pattern[] = "/tmp/tavimoro-media.XXXXXX";
        if (!mkdtemp(pattern))
            return EXIT_INPUT;
        scratch.path = pattern;
        QuietStdout quiet;
        if (unpack_package(opt.package.c_str(), scratch.path.c_str(), SCRATCH_ROOM) != 0) {
            fprintf(stderr, "tavimoro-media: %s: not a package the board can unpack\n", opt.package.c_str());
            return EXIT_INPUT;
        }
        product = scratch.path;
    } else {
        product = product_directory(opt.disk);
    }
    std::vector<scraped_game> games;
    int problems = 0;
    for (const std::string& input : opt.inputs)
        problems += read_library(input, games);
    std::vector<prediction> predictions;
    {
        QuietStdout quiet;
        for (const scraped_game& game : games)
            predictions.push_back(predict(game, product));
    }
    if (opt.json)
        print_json(predictions, product);
    else
        print_table(predictions, product);
    return problems ? EXIT_INPUT : 0;
}

int parse_options(int argc, char** argv, options& opt)
{
    const option longs[] = {{"json", no_argument, nullptr, 'j'},
                            {"disk", required_argument, nullptr, 'd'},
                            {"package", required_argument, nullptr, 'p'},
                            {"help", no_argument, nullptr, 'h'},
                            {nullptr, 0, nullptr, 0}};
    for (int c; (c = getopt_long(argc, argv, "h", longs, nullptr)) != -1;) {
        switch (c) {
        case 'j': opt.json = true; break;
        case 'd': opt.disk = optarg; break;
        case 'p': opt.package = optarg; break;
        case 'h': fputs(USAGE, stdout); exit(0);
        default: return -1;
        }
    }
    for (int i = optind; i < argc; i++)
        opt.inputs.push_back(argv[i]);
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    options opt;
    if (parse_options(argc, argv, opt) != 0 || opt.inputs.empty()) {
        fprintf(stderr, "tavimoro-media: missing or wrong arguments; see tavimoro-media --help\n");
        return EXIT_USAGE;
    }
    std::string command = opt.inputs.front();
    opt.inputs.erase(opt.inputs.begin());
    if (command == "scan")
        return command_scan(opt);
    fprintf(stderr, "tavimoro-media: unknown command '%s'; see tavimoro-media --help\n", command.c_str());
    return EXIT_USAGE;
}
