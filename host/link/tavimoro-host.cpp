// tavimoro-host: the host side of the USB link to the marquee board. Names the running game,
// pushes pictures, sends files, firmware images and media packages, and asks the link state.
// The link client, setup and the transfers are modules of their own; this file keeps the
// options and a table of the commands.
#include "hostlink/crc32.h"
#include "host/common/lookup_keys.h"
#include "host/link/event_message.h"
#include "host/link/event_order.h"
#include "host/link/host_commands.h"
#include "host/link/host_setup.h"
#include "host/link/service_socket.h"

#include <getopt.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace {

constexpr const char* USAGE = R"(Usage: tavimoro-host [OPTIONS] COMMAND [ARGUMENTS]

Talks to a marquee board over its USB link.

Commands:
  list               Show the boards plugged into this computer.
  info [FIELD...] [--rom PATH | --system NAME] [--select] [--print]
                     Name the running game by the fields --title T, --title2 T,
                     --romname R, --leaderboard L and --type N. title2 (or romname) picks
                     the game's video and picture on the board's USB disk; title is shown
                     when no picture is found; leaderboard scrolls under it (write \n or a
                     real line break for a new line). With no field at all the board shows
                     its boot banner again.
                     --rom takes the ROM's path and sends the keys the frontend hooks and
                     tavimoro-media use: romname is the file's name without its extension,
                     title and title2 the game's name (--title) or else that ROM name.
                     --system names a system by its short name (snes, mame, ...): the board
                     shows the system's picture and video, or a card of its full name
                     (--title, by default NAME).
                     --select also remembers it as what the owner has selected now, for
                     'back'. --print prints the message instead of sending it.
  back               Name again what is selected (the last 'info --select'), or the boot
                     banner when nothing is: for the end of a game or of the screensaver.
  image PICTURE [--title T] [--romname TEXT] [--leaderboard L] [--name NAME] [--as-is]
                     Show a PNG or JPEG picture with its text. The picture is first fitted
                     to the 1920x360 band as the board would show it, and sent as PNG or as
                     JPEG (quality 90), whichever is smaller, unless the file itself is
                     smaller still. --as-is sends the file unchanged (at most about 500 kB).
  send FILE [--name NAME]
                     Store FILE on the board's USB disk (top directory) under NAME.
  firmware IMAGE [--name NAME]
                     Store a firmware image on the USB disk and start the update; the board
                     reboots into recovery. NAME defaults to vorlix_update_online.img.
                     The signature IMAGE.minisig, when it lies beside the image, is sent
                     first (as NAME.minisig): a board that holds a key takes only signed
                     images.
  package ZIP [--name NAME]
                     Store a zip archive of media and unpack it into the product directory.
  update [NAME]      Start a firmware update with an image already stored by 'send'
                     (NAME defaults to vorlix_update_online.img).
  state              Ask whether the board's USB link is configured.
  serve [OPTIONS]    Run the host service, which keeps the board's link (see
                     tavimoro-host serve --help). While it runs, the other commands that talk
                     to the board hand their message to it. (Linux)
  setup [--remove] [--root DIR] [--dry-run]
                     Connect the frontend of this computer (Batocera, RetroPie, Recalbox,
                     ES-DE or Attract-Mode, found from its files): install its hooks where it
                     runs them, the udev rule, the tavimoro group for the user who runs it and
                     the MAME plugin for each user of MAME; then name a test game to the
                     board. Run it as root; running it again changes nothing.
                     --remove takes back what setup added; --root works on a frontend's
                     tree mounted at DIR; --dry-run prints the steps without doing them.
                     On Windows it connects RetroBat: its event scripts and its MAME's
                     plugin (--root names the RetroBat folder where setup does not find it).

Options:
  -d, --device PATH  The board's HID node on this computer (/dev/hidrawN) or the host socket
                     of a simulated board. Without it, the environment variable
                     TAVIMORO_DEVICE names it; without that, the board is found among the
                     computer's HID devices by its USB identity (given below). You need read
                     and write access to the node: install the udev rule 70-tavimoro.rules.
  -s, --serial SN    With several boards plugged in, the one with this USB serial number
                     (TAVIMORO_SERIAL sets it too); 'list' shows them.
  -t, --timeout SEC  How long to wait for each answer of the board (default 5; a
                     transfer's last answer, after the board reads the file again, one
                     second more for each 10 MiB).
  -n, --name NAME    The file name on the board: at most 51 characters, no '/'.
  -q, --quiet        No progress and no confirmations: only errors (for frontend hooks).
                     What list, state and --print are asked for is still printed.
  -b, --background   info and back: take the event's place in order at once, then send in
                     the background; the command returns at once (for frontend hooks, with
                     no '&'). Events keep the order they were raised in: a call that finds a
                     later event before it sends drops out.
  -h, --help         Show this help.

Exit status: 0 done, 1 the board refused or reported a failure, 2 wrong usage or unreadable
input, 3 no board found, no permission on its node, the link failed or the board did not
answer in time.
)";

int command_list(const options&, const board_link*)
{
    std::vector<found_board> boards = find_boards(host_root(), BOARD_IDENTITY);
    if (boards.empty())
        return fail(EXIT_LINK, "%s", NO_BOARD);
    for (const found_board& board : boards) {
        const char* note = "";
        if (access(board.node.c_str(), R_OK | W_OK) != 0)
            note = errno == EACCES ? "  (no permission: install the udev rule 70-tavimoro.rules)" : "  (no node in /dev)";
        printf("%s  serial %s  at %s%s\n", board.node.c_str(), board.serial.empty() ? "(none)" : board.serial.c_str(),
               board.port.c_str(), note);
    }
    return 0;
}

} // namespace

namespace {

int command_state(const options&, const board_link* board)
{
    int status = request(*board, make_request(CMD_CONNECT_STATE), CMD_CONNECT_STATE, board->timeout_s, "state request");
    if (status < 0)
        return EXIT_LINK;
    printf(status == 1 ? "the board's USB link is configured\n" : "the board's USB link is not configured\n");
    return 0;
}

// With --print, what a hook would send, without a board: how a hook's keys are checked.
int command_info(const options& opt, const board_link* board)
{
    if (opt.print) {
        printf("%s\n", json_text(opt, true).c_str());
        return 0;
    }
    return send_message(*board, json_text(opt, true));
}

// The place of this run's event, when it is one (info and back).
event_place this_event;

int command_back(const options&, const board_link* board)
{
    std::string selection = remembered_selection(this_event);
    return send_message(*board, selection.empty() ? "{}" : selection);
}

int check_event(const options& opt)
{
    if (!opt.args.empty())
        return fail(EXIT_USAGE, "info and back take no arguments, only options (see --help)");
    if (names_game_and_system(opt))
        return fail(EXIT_USAGE, "name a game or a system, not both");
    return 0;
}

void print_usage()
{
    fputs(USAGE, stdout);
    printf("\nThe board's USB identity: vendor 0x%04x, product 0x%04x, link on interface %d.\n", BOARD_IDENTITY.vendor,
           BOARD_IDENTITY.product, BOARD_IDENTITY.interface);
}

// The environment gives the defaults of --device and --serial; the options override it.
int parse_options(int argc, char** argv, options& opt)
{
    for (auto [field, variable] : {std::pair{&opt.device, "TAVIMORO_DEVICE"}, std::pair{&opt.serial, "TAVIMORO_SERIAL"}})
        if (const char* value = getenv(variable))
            *field = value;
    enum { TITLE = 256, TITLE2, ROMNAME, LEADERBOARD, TYPE, ROM, PRINT, AS_IS, ROOT, REMOVE, DRY_RUN, SYSTEM, SELECT,
           EVENT_PLACE };
    const char* rom = nullptr;
    const option longs[] = {
        {"device", required_argument, nullptr, 'd'}, {"serial", required_argument, nullptr, 's'},
        {"timeout", required_argument, nullptr, 't'},
        {"name", required_argument, nullptr, 'n'},   {"help", no_argument, nullptr, 'h'},
        {"quiet", no_argument, nullptr, 'q'},
        {"title", required_argument, nullptr, TITLE}, {"title2", required_argument, nullptr, TITLE2},
        {"romname", required_argument, nullptr, ROMNAME}, {"leaderboard", required_argument, nullptr, LEADERBOARD},
        {"type", required_argument, nullptr, TYPE},  {"rom", required_argument, nullptr, ROM},
        {"print", no_argument, nullptr, PRINT},      {"as-is", no_argument, nullptr, AS_IS},
        {"root", required_argument, nullptr, ROOT},  {"remove", no_argument, nullptr, REMOVE},
        {"dry-run", no_argument, nullptr, DRY_RUN}, {"system", required_argument, nullptr, SYSTEM},
        {"select", no_argument, nullptr, SELECT},    {"background", no_argument, nullptr, 'b'},
        {"event-place", required_argument, nullptr, EVENT_PLACE},
        {nullptr, 0, nullptr, 0},
    };
    for (int c; (c = getopt_long(argc, argv, "d:s:t:n:qbh", longs, nullptr)) != -1;) {
        switch (c) {
        case 'd': opt.device = optarg; break;
        case 's': opt.serial = optarg; break;
        case 't': opt.timeout_s = atoi(optarg); break;
        case 'n': opt.name = optarg; break;
        case 'q': set_quiet(true); break;
        case 'b': opt.background = true; break;
        case 'h': print_usage(); exit(0);
        case TITLE: opt.title = optarg; break;
        case TITLE2: opt.title2 = optarg; break;
        case ROMNAME: opt.romname = optarg; break;
        case LEADERBOARD: opt.leaderboard = optarg; break;
        case TYPE: opt.type = optarg; break;
        case ROM: rom = optarg; break;
        case PRINT: opt.print = true; break;
        case AS_IS: opt.as_is = true; break;
        case ROOT: opt.root = optarg; break;
        case REMOVE: opt.remove = true; break;
        case DRY_RUN: opt.dry_run = true; break;
        case SYSTEM: opt.system = optarg; break;
        case SELECT: opt.select = true; break;
        case EVENT_PLACE: opt.event_place = strtoull(optarg, nullptr, 10); break;
        default: return -1;
        }
    }
    derive_lookup_keys(opt, rom ? rom : "");
    for (int i = optind; i < argc; i++)
        opt.args.push_back(argv[i]);
    return opt.timeout_s > 0 ? 0 : -1;
}

int command_setup(const options& opt, const board_link*)
{
    if (!opt.args.empty())
        return fail(EXIT_USAGE, "setup takes no arguments (see --help)");
    return run_setup({opt.root, opt.remove, opt.dry_run, opt.device, opt.serial, opt.timeout_s});
}

// What a command does: its own arguments are checked before the board is looked for, and only
// the commands that talk to the board look for it.
struct command {
    const char* name;
    bool (*needs_board)(const options&);
    int (*check)(const options&);
    int (*run)(const options&, const board_link*);
};

bool always(const options&)
{
    return true;
}

bool never(const options&)
{
    return false;
}

int nothing_to_check(const options&)
{
    return 0;
}

const command COMMANDS[] = {
    {"list", never, nothing_to_check, command_list},
    {"info", [](const options& opt) { return !opt.print; }, check_event, command_info},
    {"back", always, check_event, command_back},
    {"image", always, check_image, command_image},
    {"send", always, check_send, command_send},
    {"firmware", always, check_firmware, command_firmware},
    {"package", always, check_send, command_package},
    {"update", always, check_update, command_update},
    {"state", always, nothing_to_check, command_state},
    {"setup", never, nothing_to_check, command_setup},
};

} // namespace

int main(int argc, char** argv)
{
    setvbuf(stdout, nullptr, _IONBF, 0);
    if (argc > 1 && strcmp(argv[1], "serve") == 0)
        return run_service(argv + 1);
    options opt;
    if (parse_options(argc, argv, opt) != 0 || opt.args.empty())
        return fail(EXIT_USAGE, "missing or wrong arguments; see tavimoro-host --help");
    std::string name = opt.args[0];
    opt.args.erase(opt.args.begin());
    const command* found = std::find_if(std::begin(COMMANDS), std::end(COMMANDS),
                                        [&](const command& c) { return name == c.name; });
    if (found == std::end(COMMANDS))
        return fail(EXIT_USAGE, "unknown command '%s'; see tavimoro-host --help", name.c_str());
    if (int bad = found->check(opt); bad != 0)
        return bad;
    bool event = found->run == command_info || found->run == command_back;
    if (opt.background && !(event && found->needs_board(opt)))
        return fail(EXIT_USAGE, "--background is for info and back (see --help)");
    if (!found->needs_board(opt))
        return found->run(opt, nullptr);
    // While the service runs, it owns the link: the command goes to it.
    bool handed = false;
    if (int result = hand_to_service(name, opt, handed); handed)
        return result;
    if (opt.device.empty()) {
        if (int missing = find_link(opt.serial, opt.device); missing != 0)
            return missing;
    }
    // An event takes its place before anything slower; one whose place could not be taken
    // still goes out, unordered.
    bool ordered = false;
    if (event && opt.event_place != 0) {
        ordered = adopt_event_place(opt.device, opt.event_place, this_event) == 0;
    } else if (event) {
        std::string selection = json_text(opt, true);
        ordered = take_event_place(opt.device, opt.select ? &selection : nullptr, this_event) == 0;
        if (opt.background)
            continue_in_background(this_event.number);
    }
    init_crc32_table();
    auto run = [&] {
        board_link board;
        board.timeout_s = opt.timeout_s;
        int opened = open_link(opt.device, board);
        return opened != 0 ? opened : found->run(opt, &board);
    };
    if (!ordered)
        return run();
    // The link is opened only in turn: the simulator's socket serves its callers in the order
    // they connect, which must be the order they send in.
    bool dropped = false;
    int result = send_in_order(this_event, run, dropped);
    if (dropped)
        say("a later event was raised before this one could be sent: nothing sent\n");
    return result;
}
