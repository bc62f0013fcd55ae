// tavimoro-media: the owner's media kit. Reads what the frontend scraped, tells with the player's
// own lookup what the board will show for every game, makes the board's media from it, and
// previews the band of a game.
#include "host/kit/library.h"
#include "host/common/lookup_keys.h"
#include "host/kit/media_build.h"
#include "host/kit/media_compose.h"
#include "host/kit/media_options.h"
#include "host/kit/media_page.h"
#include "host/kit/media_preview.h"
#include "host/kit/media_scan.h"
#include "host/kit/system_art.h"
#include "hostlink/banner_info.h"
#include "hostlink/package_unpack.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

constexpr int EXIT_INPUT = 1;
constexpr int EXIT_USAGE = 2;
// A package is unpacked for the scan only: the scratch folder's room is not what is checked.
constexpr int64_t SCRATCH_ROOM = INT64_MAX;

constexpr const char* BOARD_FONT = "rom/vorlix/fonts/Futura_Medium.ttf";

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
int board_font_root(const media_options& opt, ScratchFolder& root)
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
int open_product(const media_options& opt, ScratchFolder& scratch, std::string& product)
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
int read_libraries(const media_options& opt, std::vector<scraped_game>& games)
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
int start_picture_writer(const media_options& opt, ScratchFolder& root)
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
int find_system_art(const media_options& opt, frontend_context& context)
{
    std::error_code error;
    if (!opt.system_art.empty() && !fs::is_directory(opt.system_art, error)) {
        fprintf(stderr, "tavimoro-media: --system-art %s: no such folder\n", opt.system_art.c_str());
        return -1;
    }
    context = find_frontends(opt.inputs, opt.system_art);
    return 0;
}

int command_scan(const media_options& opt)
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

int command_build(media_options& opt)
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
int command_preview(const media_options& opt)
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

} // namespace

int main(int argc, char** argv)
{
    // The table's columns are measured in characters of the names, which are UTF-8.
    setlocale(LC_CTYPE, "C.UTF-8");
    media_options opt;
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
