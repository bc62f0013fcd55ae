// tavimoro-media: the owner's media kit. Reads what the frontend scraped, tells with the player's
// own lookup what the board will show for every game, makes the board's media from it, and
// previews the band of a game.
#include "host/library.h"
#include "host/lookup_keys.h"
#include "host/media_build.h"
#include "host/media_preview.h"
#include "hostlink/banner_info.h"
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
       tavimoro-media build [OPTIONS] (--to DIR | --package ZIP) LIBRARY...
       tavimoro-media preview [--disk DIR | --package ZIP] --rom PATH [--title NAME]
                              [--leaderboard TEXT] [--font FILE] --output PNG

scan tells what the marquee board will show for every game of a frontend's library. build makes
the board's media from the scraped media: a 1920x360 PNG from the best picture and an H.264 MP4
from the video, named by the keys the frontend hooks send, onto a disk or into a package for
tavimoro-host package; a second run redoes only what changed. preview draws the band as the
board shows a game (its picture or title card, and its leaderboard).

LIBRARY is a gamelist.xml file, a folder holding one, or a folder of systems (each a folder
with a gamelist.xml, or with ROM files only).

  --disk DIR      the board's USB disk (mounted, or a folder): DIR itself when it is the
                  product directory "vorlix", else DIR/vorlix
  --to DIR        build: the disk or folder to write, as for --disk
  --package ZIP   scan, preview: a media package, unpacked as the board unpacks it into a
                  scratch folder; build: the package to write (its files are kept in
                  ZIP.cache for the next run)
  --json          scan: one JSON document instead of the table
  --prefer TAGS   build: the scraped media tags, best first (default
                  marquee,wheel,logo,screenshot,image,titleshot,thumbnail,video); leave
                  video out to make no videos
  --fit MODE      build: a picture of another shape is fitted inside the band on black
                  (black, the default), on a colour (RRGGBB), on a blurred fill from the
                  picture (blur), or scaled to cover the band and cropped (crop)
  --video-box WxH build: the box a video is fitted in, aspect kept (default 1920x360)
  --audio         build: keep the videos' sound (default: dropped)
  --jobs N        build: conversions at once (default: one per core)
  --rom PATH      preview: the game's ROM, as the hooks name it; --title its name
  --leaderboard TEXT  preview: the leaderboard text under the band
  --font FILE     preview: the board's font (default: DejaVu Sans, as the simulator has)
  --output PNG    preview: where the picture goes
  -h, --help      this help

Exit status: 0 done, 1 some input could not be read or converted (the other games are still
done), 2 wrong usage.
)";

constexpr int EXIT_INPUT = 1;
constexpr int EXIT_USAGE = 2;
// A package is unpacked for the scan only: the scratch folder's room is not what is checked.
constexpr int64_t SCRATCH_ROOM = INT64_MAX;

constexpr const char* DEFAULT_FONT = "/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf";
constexpr const char* BOARD_FONT = "rom/vorlix/fonts/Futura_Medium.ttf";

struct options {
    bool json = false;
    std::string disk, package;
    build_options build;
    std::string rom, title, leaderboard, font = DEFAULT_FONT, output;
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

prediction predict(const scraped_game& game, const std::string& product)
{
    prediction result{&game, game_lookup_keys(game.rom, game.name), "", ""};
    banner_bar_t record{};
    find_game_media(product.c_str(), board_lookup_text(result.keys.title.c_str()).c_str(),
                    board_lookup_text(result.keys.romname.c_str()).c_str(), &record);
    result.picture = record.image_file;
    result.video = record.video_file;
    return result;
}

// Games whose ROM names are the same key for the board once lower-cased.
std::map<std::string, std::vector<const prediction*>> collisions(const std::vector<prediction>& predictions)
{
    std::map<std::string, std::vector<const prediction*>> by_key;
    for (const prediction& p : predictions) {
        std::string key = board_lookup_text(p.keys.romname.c_str());
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

int make_scratch(ScratchFolder& scratch)
{
    char pattern[] = "/tmp/tavimoro-media.XXXXXX";
    if (!mkdtemp(pattern)) {
        perror("tavimoro-media: a scratch folder");
        return -1;
    }
    scratch.path = pattern;
    return 0;
}

// The product directory to look games up in: the disk's, or the package unpacked into `scratch`.
int open_product(const options& opt, ScratchFolder& scratch, std::string& product)
{
    if (opt.package.empty()) {
        product = disk_product_directory(opt.disk);
        return 0;
    }
    if (make_scratch(scratch) != 0)
        return -1;
    QuietStdout quiet;
    if (unpack_package(opt.package.c_str(), scratch.path.c_str(), SCRATCH_ROOM) != 0) {
        fprintf(stderr, "tavimoro-media: %s: not a package the board can unpack\n", opt.package.c_str());
        return -1;
    }
    product = scratch.path;
    return 0;
}

int command_scan(const options& opt)
{
    if (opt.disk.empty() == opt.package.empty() || opt.inputs.empty()) {
        fprintf(stderr, "tavimoro-media: scan needs --disk or --package and a library; see --help\n");
        return EXIT_USAGE;
    }
    ScratchFolder scratch;
    std::string product;
    if (open_product(opt, scratch, product) != 0)
        return EXIT_INPUT;
    std::vector<scraped_game> games;
    int problems = 0;
    for (const std::string& input : opt.inputs)
        problems += read_library(input, false, games).problems;
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

int command_build(options& opt)
{
    if (opt.build.to.empty() == opt.package.empty() || opt.inputs.empty()) {
        fprintf(stderr, "tavimoro-media: build needs --to or --package and a library; see --help\n");
        return EXIT_USAGE;
    }
    opt.build.package = opt.package;
    std::vector<scraped_game> games;
    int problems = 0;
    for (const std::string& input : opt.inputs)
        problems += read_library(input, false, games).problems;
    if (media_convert_init() != 0) {
        fprintf(stderr, "tavimoro-media: the picture writer cannot start\n");
        return EXIT_INPUT;
    }
    return build_media(games, opt.build) != 0 || problems ? EXIT_INPUT : 0;
}

// The preview reads the board's font where the player reads it, under a board root of its own
// that holds only the font: nothing of the host's /media is looked at.
int command_preview(const options& opt)
{
    if (opt.rom.empty() || opt.output.empty() || !opt.inputs.empty()) {
        fprintf(stderr, "tavimoro-media: preview needs --rom and --output; see --help\n");
        return EXIT_USAGE;
    }
    ScratchFolder scratch, root;
    std::string product;
    if (!opt.disk.empty() || !opt.package.empty()) {
        if (open_product(opt, scratch, product) != 0)
            return EXIT_INPUT;
    }
    if (make_scratch(root) != 0)
        return EXIT_INPUT;
    std::error_code error;
    fs::path font = fs::path(root.path) / BOARD_FONT;
    fs::create_directories(font.parent_path(), error);
    fs::create_symlink(fs::absolute(opt.font), font, error);
    setenv("TAVIMORO_ROOT", root.path.c_str(), 1);
    scraped_game game{"", "", opt.rom, opt.title, false, {}};
    prediction shown{&game, game_lookup_keys(game.rom, game.name), "", ""};
    if (!product.empty()) {
        QuietStdout quiet;
        shown = predict(game, product);
    }
    // The banner code traces what it composes, as on the board; the owner needs only the picture.
    QuietStdout quiet;
    return write_preview(shown.picture, board_lookup_text(shown.keys.title.c_str()), opt.leaderboard, opt.output) == 0
               ? 0
               : EXIT_INPUT;
}

// "WxH" as two positive numbers; -1 otherwise.
int parse_box(const char* text, video_options& video)
{
    if (sscanf(text, "%dx%d", &video.box_width, &video.box_height) != 2 || video.box_width < 2 ||
        video.box_height < 2 || video.box_width > 1920 || video.box_height > 1080)
        return -1;
    return 0;
}

int parse_fit(const std::string& text, picture_options& picture)
{
    static const std::map<std::string, fit_mode> MODES = {
        {"black", fit_mode::black}, {"blur", fit_mode::blur}, {"crop", fit_mode::crop}};
    if (auto mode = MODES.find(text); mode != MODES.end()) {
        picture.mode = mode->second;
        return 0;
    }
    char* end = nullptr;
    picture.rgb = static_cast<unsigned>(strtoul(text.c_str(), &end, 16));
    picture.mode = fit_mode::colour;
    return text.size() == 6 && *end == '\0' ? 0 : -1;
}

std::vector<std::string> split_tags(const std::string& list)
{
    std::vector<std::string> tags;
    size_t start = 0;
    for (size_t comma; (comma = list.find(',', start)) != std::string::npos; start = comma + 1)
        tags.push_back(list.substr(start, comma - start));
    tags.push_back(list.substr(start));
    return tags;
}

int parse_options(int argc, char** argv, options& opt)
{
    enum { TO = 256, PREFER, FIT, BOX, AUDIO, JOBS, ROM, TITLE, LEADERBOARD, FONT, OUTPUT };
    const option longs[] = {{"json", no_argument, nullptr, 'j'},
                            {"disk", required_argument, nullptr, 'd'},
                            {"package", required_argument, nullptr, 'p'},
                            {"to", required_argument, nullptr, TO},
                            {"prefer", required_argument, nullptr, PREFER},
                            {"fit", required_argument, nullptr, FIT},
                            {"video-box", required_argument, nullptr, BOX},
                            {"audio", no_argument, nullptr, AUDIO},
                            {"jobs", required_argument, nullptr, JOBS},
                            {"rom", required_argument, nullptr, ROM},
                            {"title", required_argument, nullptr, TITLE},
                            {"leaderboard", required_argument, nullptr, LEADERBOARD},
                            {"font", required_argument, nullptr, FONT},
                            {"output", required_argument, nullptr, OUTPUT},
                            {"help", no_argument, nullptr, 'h'},
                            {nullptr, 0, nullptr, 0}};
    opt.build.prefer = split_tags(DEFAULT_PREFERENCE);
    for (int c; (c = getopt_long(argc, argv, "h", longs, nullptr)) != -1;) {
        int bad = 0;
        switch (c) {
        case 'j': opt.json = true; break;
        case 'd': opt.disk = optarg; break;
        case 'p': opt.package = optarg; break;
        case TO: opt.build.to = optarg; break;
        case PREFER: opt.build.prefer = split_tags(optarg); break;
        case FIT: bad = parse_fit(optarg, opt.build.picture); break;
        case BOX: bad = parse_box(optarg, opt.build.video); break;
        case AUDIO: opt.build.video.audio = true; break;
        case JOBS: opt.build.jobs = static_cast<unsigned>(atoi(optarg)); break;
        case ROM: opt.rom = optarg; break;
        case TITLE: opt.title = optarg; break;
        case LEADERBOARD: opt.leaderboard = optarg; break;
        case FONT: opt.font = optarg; break;
        case OUTPUT: opt.output = optarg; break;
        case 'h': fputs(USAGE, stdout); exit(0);
        default: return -1;
        }
        if (bad)
            return -1;
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
    if (command == "build")
        return command_build(opt);
    if (command == "preview")
        return command_preview(opt);
    fprintf(stderr, "tavimoro-media: unknown command '%s'; see tavimoro-media --help\n", command.c_str());
    return EXIT_USAGE;
}
