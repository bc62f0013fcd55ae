// tavimoro-media: the owner's media kit. Reads what the frontend scraped, tells with the player's
// own lookup what the board will show for every game, makes the board's media from it, and
// previews the band of a game.
#include "host/kit/library.h"
#include "host/common/lookup_keys.h"
#include "host/kit/media_build.h"
#include "host/kit/media_choice.h"
#include "host/kit/media_compose.h"
#include "host/kit/media_page.h"
#include "host/kit/media_preview.h"
#include "host/kit/media_scan.h"
#include "host/kit/system_art.h"
#include "hostlink/banner_info.h"
#include "hostlink/package_unpack.h"

#include <fcntl.h>
#include <getopt.h>
#include <unistd.h>

#include <algorithm>
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

constexpr const char* USAGE = R"(Usage: tavimoro-media scan [--json] [--html DIR] (--disk DIR | --package ZIP) LIBRARY...
  or:  tavimoro-media build [OPTIONS] (--to DIR | --package ZIP) LIBRARY...
  or:  tavimoro-media preview [OPTIONS] --rom PATH --output PNG

scan tells what the marquee board shows for every game of a frontend's library now, and what
it will show after a build, with the source each game would use. build makes the board's media
from the scraped media: a 1920x360 PNG from the best picture and an H.264 MP4 from the video,
named by the keys the frontend hooks send, onto a disk or into a package for tavimoro-host
package; a second run redoes only what changed. preview draws the band as the board shows a
game (its picture or title card, and its leaderboard).

LIBRARY is the top of a frontend's data or any folder or list inside it: an ES-DE folder
(~/ES-DE), an EmulationStation one (~/.emulationstation, Batocera's /userdata, Recalbox's
/recalbox/share, a ROM folder with its gamelist.xml, or a gamelist.xml), a RetroArch config
folder or playlist (.lpl), an Attract-Mode config folder or romlist, a Pegasus game folder or
its metadata.pegasus.txt, or ROM folders with their media folders beside them.

  --disk DIR      the board's USB disk (mounted, or a folder): DIR itself when it is the
                  product directory "vorlix", else DIR/vorlix
  --to DIR        build: the disk or folder to write, as for --disk; it must exist
  --package ZIP   scan, preview: a media package, unpacked as the board unpacks it into a
                  scratch folder; build: the package to write (its files are kept in
                  ZIP.cache for the next run)
  --json          scan: one JSON document instead of the table
  --html DIR      scan: also write the coverage page DIR/index.html
  --hidden        scan, build: take the games the frontend hides too
  --prefer TAGS   scan, build: the media tags, best first (default marquee,composed,wheel,
                  logo,screenshot,image,titleshot,thumbnail,mix,boxart,fanart,video);
                  leave video out to make no videos. A missing or broken file falls back to
                  the next. Tags: marquee wheel logo screenshot image titleshot thumbnail mix
                  boxart boxback box3d cartridge fanart video, and composed: the game's wheel
                  or logo over its screenshot, fan art, title screen or image, blurred.
                  An animated GIF chosen as a picture is also the video of a game without one
  --fit MODE      build: a picture of another shape is fitted inside the band on black
                  (black, the default), on a colour (RRGGBB), on a blurred fill from the
                  picture (blur), or scaled to cover the band and cropped (crop)
  --video-box WxH build: the box a video is fitted in, aspect kept (default 1920x360)
  --audio         build: keep the videos' sound (default: dropped)
  --jobs N        build: conversions at once (default: one per core)
  --system-art DIR  scan, build: the owner's system pictures, DIR/<system>.png, .svg or .jpg
                  (and DIR/<system>.mp4 for a video), used before the frontend theme's logo
  --rom PATH      preview: the game's ROM, as the hooks name it; --title its name
  --leaderboard TEXT  preview: the leaderboard text under the band
  --font FILE     build, preview, --html: the board's font (default: DejaVu Sans, as the simulator has)
  --output PNG    preview: where the picture goes
  -h, --help      this help

Exit status: 0 done, 1 some input could not be read or converted, or a library yielded no games
or no media (the other games are still done), 2 wrong usage.
)";

constexpr int EXIT_INPUT = 1;
constexpr int EXIT_USAGE = 2;
// A package is unpacked for the scan only: the scratch folder's room is not what is checked.
constexpr int64_t SCRATCH_ROOM = INT64_MAX;

constexpr const char* DEFAULT_FONT = "/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf";
constexpr const char* BOARD_FONT = "rom/vorlix/fonts/Futura_Medium.ttf";

struct options {
    bool json = false;
    bool hidden = false;
    std::string html;
    std::string disk, package, system_art;
    build_options build;
    std::string rom, title, leaderboard, font = DEFAULT_FONT, output;
    std::vector<std::string> inputs;
};

struct ScratchFolder {
    std::string path;
    ~ScratchFolder()
    {
        if (!path.empty())
            fs::remove_all(path);
    }
};

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

// A board root of the kit's own that holds only the board's font, where the banner code reads it.
int board_font_root(const options& opt, ScratchFolder& root)
{
    if (make_scratch(root) != 0)
        return -1;
    std::error_code error;
    fs::path font = fs::path(root.path) / BOARD_FONT;
    fs::create_directories(font.parent_path(), error);
    fs::create_symlink(fs::absolute(opt.font), font, error);
    if (error) {
        fprintf(stderr, "tavimoro-media: %s: %s\n", font.c_str(), error.message().c_str());
        return -1;
    }
    setenv("TAVIMORO_ROOT", root.path.c_str(), 1);
    return 0;
}

// The product directory to look games up in: the disk's, or the package unpacked into `scratch`.
// A disk that is not an existing folder is an error: a mistyped mount point would otherwise
// predict title cards for everything.
int open_product(const options& opt, ScratchFolder& scratch, std::string& product)
{
    if (opt.package.empty()) {
        std::error_code error;
        if (!fs::is_directory(opt.disk, error)) {
            fprintf(stderr, "tavimoro-media: --disk %s: no such folder\n", opt.disk.c_str());
            return -1;
        }
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

// Where the frontends keep their data below a folder the owner may name instead (a home folder,
// a share): said when the folder itself yields no games.
constexpr const char* DATA_FOLDERS[] = {"ES-DE", ".emulationstation", "RetroPie/roms", ".config/retroarch", ".attract",
                                        "roms", "ROMs"};

void explain_nothing_found(const std::string& input, const library_result& read)
{
    if (read.layout)
        fprintf(stderr, "tavimoro-media: %s: read as %s (%s), but it holds no games\n", input.c_str(),
                read.layout->name, read.layout->looks_for);
    else
        fprintf(stderr, "tavimoro-media: %s: no library found\n", input.c_str());
    fprintf(stderr, "  looked for:\n");
    for (const library_layout* layout : library_layouts())
        fprintf(stderr, "    %s: %s\n", layout->name, layout->looks_for);
    std::error_code error;
    for (const char* folder : DATA_FOLDERS)
        if (fs::is_directory(fs::path(input) / folder, error))
            fprintf(stderr, "  try: %s\n", (fs::path(input) / folder).c_str());
}

// Reads every library named; says why when one yields no games, or when none has any media.
// Returns the number of problems.
int read_libraries(const options& opt, std::vector<scraped_game>& games)
{
    int problems = 0;
    for (const std::string& input : opt.inputs) {
        size_t before = games.size();
        library_result read = read_library(input, opt.hidden, games);
        problems += read.problems;
        if (read.hidden_left_out)
            fprintf(stderr, "tavimoro-media: %s: %zu games the frontend hides are left out (--hidden takes them)\n",
                    input.c_str(), read.hidden_left_out);
        if (games.size() == before) {
            explain_nothing_found(input, read);
            problems++;
        }
    }
    bool any_media = std::any_of(games.begin(), games.end(), [](const scraped_game& game) {
        return std::any_of(game.media.begin(), game.media.end(), [](const auto& tag) { return !tag.second.empty(); });
    });
    if (!games.empty() && !any_media) {
        fprintf(stderr, "tavimoro-media: %zu games found, but none lists or has any scraped media: were they scraped, "
                        "and is the library named at its top (the frontend's data folder)?\n",
                games.size());
        problems++;
    }
    return problems;
}

// GStreamer and SDL_image, and the board's font under a board root of the kit's own, for the
// pictures that build makes and the page draws.
int start_picture_writer(const options& opt, ScratchFolder& root)
{
    if (board_font_root(opt, root) != 0)
        return -1;
    if (media_convert_init() != 0) {
        fprintf(stderr, "tavimoro-media: the picture writer cannot start\n");
        return -1;
    }
    return 0;
}

// Where the systems' pictures come from. A --system-art that is no folder is an error: a
// mistyped one would otherwise quietly give every system the theme's logo or its card.
int find_system_art(const options& opt, frontend_context& context)
{
    std::error_code error;
    if (!opt.system_art.empty() && !fs::is_directory(opt.system_art, error)) {
        fprintf(stderr, "tavimoro-media: --system-art %s: no such folder\n", opt.system_art.c_str());
        return -1;
    }
    context = find_frontends(opt.inputs, opt.system_art);
    return 0;
}

int command_scan(const options& opt)
{
    if (opt.disk.empty() == opt.package.empty() || opt.inputs.empty()) {
        fprintf(stderr, "tavimoro-media: scan needs --disk or --package and a library; see --help\n");
        return EXIT_USAGE;
    }
    ScratchFolder scratch, root;
    std::string product;
    frontend_context art;
    if (open_product(opt, scratch, product) != 0 || find_system_art(opt, art) != 0)
        return EXIT_INPUT;
    std::vector<scraped_game> games;
    int problems = read_libraries(opt, games);
    std::vector<prediction> predictions = predict_games(games, product, opt.build.prefer);
    std::vector<library_system> systems = library_systems(games, art);
    std::vector<system_prediction> shown = predict_systems(systems, product);
    if (opt.json)
        print_json(predictions, shown, product);
    else
        print_table(predictions, shown, product);
    if (!opt.html.empty() &&
        (start_picture_writer(opt, root) != 0 || write_coverage_page(predictions, shown, product, opt.html) != 0))
        problems++;
    return problems ? EXIT_INPUT : 0;
}

int command_build(options& opt)
{
    if (opt.build.to.empty() == opt.package.empty() || opt.inputs.empty()) {
        fprintf(stderr, "tavimoro-media: build needs --to or --package and a library; see --help\n");
        return EXIT_USAGE;
    }
    opt.build.package = opt.package;
    if (find_system_art(opt, opt.build.systems) != 0)
        return EXIT_INPUT;
    std::vector<scraped_game> games;
    int problems = read_libraries(opt, games);
    // The systems' cards and the composed titles are drawn with the board's font.
    ScratchFolder root;
    if (start_picture_writer(opt, root) != 0)
        return EXIT_INPUT;
    // A composed picture without a logo shows the title in the board's font.
    std::optional<TitleFonts> fonts;
    {
        QuietStdout quiet;
        fonts.emplace();
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
    if ((!opt.disk.empty() || !opt.package.empty()) && open_product(opt, scratch, product) != 0)
        return EXIT_INPUT;
    if (board_font_root(opt, root) != 0)
        return EXIT_INPUT;
    std::vector<scraped_game> game{{"", "", opt.rom, opt.title, false, {}}};
    prediction shown = predict_games(game, product, {}).front();
    // The banner code traces what it composes, as on the board; the owner needs only the picture.
    QuietStdout quiet;
    return write_preview(shown.picture, board_lookup_text(shown.keys.title.c_str()), opt.leaderboard, opt.output) == 0
               ? 0
               : EXIT_INPUT;
}

// Each option's value is checked as it is read; a wrong one is named with what it takes.
constexpr const char* BOX_NEEDS = "takes WIDTHxHEIGHT, from 2x2 to 1920x1080";
constexpr const char* FIT_NEEDS = "takes black, blur, crop or a colour RRGGBB";
constexpr const char* JOBS_NEEDS = "takes a whole number from 1 to 256";
constexpr unsigned MOST_JOBS = 256;

const char* parse_box(const std::string& text, video_options& video)
{
    char tail = 0;
    if (sscanf(text.c_str(), "%dx%d%c", &video.box_width, &video.box_height, &tail) != 2 || video.box_width < 2 ||
        video.box_height < 2 || video.box_width > 1920 || video.box_height > 1080)
        return BOX_NEEDS;
    return nullptr;
}

const char* parse_fit(const std::string& text, picture_options& picture)
{
    static const std::map<std::string, fit_mode> MODES = {
        {"black", fit_mode::black}, {"blur", fit_mode::blur}, {"crop", fit_mode::crop}};
    if (auto mode = MODES.find(text); mode != MODES.end()) {
        picture.mode = mode->second;
        return nullptr;
    }
    char* end = nullptr;
    picture.rgb = static_cast<unsigned>(strtoul(text.c_str(), &end, 16));
    picture.mode = fit_mode::colour;
    return text.size() == 6 && isxdigit(static_cast<unsigned char>(text[0])) && *end == '\0' ? nullptr : FIT_NEEDS;
}

const char* parse_jobs(const std::string& text, unsigned& jobs)
{
    char* end = nullptr;
    unsigned long value = strtoul(text.c_str(), &end, 10);
    if (text.empty() || !isdigit(static_cast<unsigned char>(text[0])) || *end || value < 1 || value > MOST_JOBS)
        return JOBS_NEEDS;
    jobs = static_cast<unsigned>(value);
    return nullptr;
}

// Tags the kit knows, comma-separated; an unknown one would silently make nothing.
const char* parse_prefer(const std::string& list, std::vector<std::string>& tags)
{
    static std::string needs;
    tags.clear();
    size_t start = 0;
    for (size_t comma; (comma = list.find(',', start)) != std::string::npos; start = comma + 1)
        tags.push_back(list.substr(start, comma - start));
    tags.push_back(list.substr(start));
    for (const std::string& tag : tags)
        if (!known_media_tag(tag) && tag != COMPOSED_TAG) {
            needs = "has the unknown tag '" + tag + "'; the tags are " + COMPOSED_TAG;
            for (const char* known : MEDIA_TAGS)
                needs += std::string(" ") + known;
            return needs.c_str();
        }
    return nullptr;
}

int parse_options(int argc, char** argv, options& opt)
{
    enum { TO = 256, PREFER, FIT, BOX, AUDIO, JOBS, ROM, TITLE, LEADERBOARD, FONT, OUTPUT, HIDDEN, HTML, SYSTEM_ART };
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
                            {"hidden", no_argument, nullptr, HIDDEN},
                            {"html", required_argument, nullptr, HTML},
                            {"system-art", required_argument, nullptr, SYSTEM_ART},
                            {"help", no_argument, nullptr, 'h'},
                            {nullptr, 0, nullptr, 0}};
    parse_prefer(DEFAULT_PREFERENCE, opt.build.prefer);
    opterr = 0;
    for (int c, index = -1; (c = getopt_long(argc, argv, ":h", longs, &index)) != -1; index = -1) {
        const char* wrong = nullptr;
        switch (c) {
        case 'j': opt.json = true; break;
        case 'd': opt.disk = optarg; break;
        case 'p': opt.package = optarg; break;
        case TO: opt.build.to = optarg; break;
        case PREFER: wrong = parse_prefer(optarg, opt.build.prefer); break;
        case FIT: wrong = parse_fit(optarg, opt.build.picture); break;
        case BOX: wrong = parse_box(optarg, opt.build.video); break;
        case AUDIO: opt.build.video.audio = true; break;
        case JOBS: wrong = parse_jobs(optarg, opt.build.jobs); break;
        case ROM: opt.rom = optarg; break;
        case TITLE: opt.title = optarg; break;
        case LEADERBOARD: opt.leaderboard = optarg; break;
        case FONT: opt.font = optarg; break;
        case OUTPUT: opt.output = optarg; break;
        case HIDDEN: opt.hidden = true; break;
        case HTML: opt.html = optarg; break;
        case SYSTEM_ART: opt.system_art = optarg; break;
        case 'h': fputs(USAGE, stdout); exit(0);
        case ':':
            fprintf(stderr, "tavimoro-media: %s needs a value; see tavimoro-media --help\n", argv[optind - 1]);
            return -1;
        default:
            fprintf(stderr, "tavimoro-media: unknown option %s; see tavimoro-media --help\n", argv[optind - 1]);
            return -1;
        }
        if (wrong) {
            fprintf(stderr, "tavimoro-media: --%s '%s': %s; see tavimoro-media --help\n", longs[index].name, optarg, wrong);
            return -1;
        }
    }
    for (int i = optind; i < argc; i++)
        opt.inputs.push_back(argv[i]);
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    // The table's columns are measured in characters of the names, which are UTF-8.
    setlocale(LC_CTYPE, "C.UTF-8");
    options opt;
    if (parse_options(argc, argv, opt) != 0)
        return EXIT_USAGE;
    if (opt.inputs.empty()) {
        fprintf(stderr, "tavimoro-media: a command is missing; see tavimoro-media --help\n");
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
