// tavimoro-media's command line (see media_options.h).
#include "host/kit/media_options.h"

#include "host/kit/library.h"
#include "host/kit/media_choice.h"

#include <getopt.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <map>

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

} // namespace

int parse_options(int argc, char** argv, media_options& opt)
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
