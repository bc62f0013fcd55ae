// tavimoro-host: the host side of the USB link to the marquee board. Names the running game,
// pushes pictures, sends files, firmware images and media packages, and asks the link state.
// The link client and setup are modules of their own; this file keeps the options and a table
// of the commands.
#include "hostlink/crc32.h"
#include "host/link/host_setup.h"
#include "host/link/link_client.h"
#include "host/common/lookup_keys.h"
#include "host/common/picture_fit.h"

#include <cjson/cJSON.h>
#include <dlfcn.h>
#include <getopt.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

namespace {

constexpr const char* USAGE = R"(Usage: tavimoro-host [OPTIONS] COMMAND [ARGUMENTS]

Talks to a marquee board over its USB link.

Commands:
  list               Show the boards plugged into this computer.
  info [FIELD...] [--rom PATH] [--print]
                     Name the running game by the fields --title T, --title2 T,
                     --romname R, --leaderboard L and --type N. title2 (or romname) picks
                     the game's video and picture on the board's USB disk; title is shown
                     when no picture is found; leaderboard scrolls under it (write \n or a
                     real line break for a new line). With no field at all the board shows
                     its boot banner again.
                     --rom takes the ROM's path and sends the keys the frontend hooks and
                     tavimoro-media use: romname is the file's name without its extension,
                     title and title2 the game's name (--title) or else that ROM name.
                     --print prints the message instead of sending it.
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
  setup [--remove] [--root DIR] [--dry-run]
                     Connect the frontend of this computer (Batocera, RetroPie, Recalbox or
                     ES-DE, found from its files): install its hooks where it runs them, the
                     udev rule, and the tavimoro group for the user who runs it; then name a
                     test game to the board. Run it as root; running it again changes nothing.
                     --remove takes back what setup added; --root works on a frontend's
                     tree mounted at DIR; --dry-run prints the steps without doing them.

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
  -h, --help         Show this help.

Exit status: 0 done, 1 the board refused or reported a failure, 2 wrong usage or unreadable
input, 3 no board found, no permission on its node, the link failed or the board did not
answer in time.
)";

constexpr int UNPACK_TIMEOUT_S = 600;  // unpacking a large package takes the board a while
constexpr size_t SHOW_IMAGE_TEXT_MAX = 511;
constexpr const char* FIRMWARE_NAME = "vorlix_update_online.img";
// minisign's suffix for a detached signature, which the board looks for beside an image.
constexpr const char* FIRMWARE_SIGNATURE_SUFFIX = ".minisig";
constexpr const char* SHOW_IMAGE_NAME = "show_image.png";
constexpr const char* SHOW_IMAGE_JPEG_NAME = "show_image.jpg";
// Far above any marquee picture, and what fitting may decode: the board's largest picture as a PNG
// stored without compression.
constexpr size_t PICTURE_FILE_MAX = 64 * 1024 * 1024;

struct FileCloser {
    void operator()(FILE* file) const { fclose(file); }
};
using File = std::unique_ptr<FILE, FileCloser>;

struct options {
    std::string device, serial;
    int timeout_s = DEFAULT_TIMEOUT_S;
    std::string name;
    std::string title, title2, romname, leaderboard, type;
    bool print = false;
    bool as_is = false;
    std::string root;
    bool remove = false;
    bool dry_run = false;
    std::vector<std::string> args;
};

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

bool valid_name(const std::string& name, size_t field)
{
    return !name.empty() && name.size() < field && name.find('/') == std::string::npos && name != "." && name != "..";
}

std::string base_name(const std::string& path)
{
    size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string with_line_breaks(std::string text)
{
    for (size_t at; (at = text.find("\\n")) != std::string::npos;)
        text.replace(at, 2, "\n");
    return text;
}

// The JSON text of a message; `type` is a number when it is all digits.
std::string json_text(const options& opt, bool with_title2)
{
    std::unique_ptr<cJSON, decltype(&cJSON_Delete)> json(cJSON_CreateObject(), cJSON_Delete);
    if (!opt.type.empty()) {
        if (opt.type.find_first_not_of("0123456789") == std::string::npos)
            cJSON_AddNumberToObject(json.get(), "type", atoi(opt.type.c_str()));
        else
            cJSON_AddStringToObject(json.get(), "type", opt.type.c_str());
    }
    if (!opt.title.empty())
        cJSON_AddStringToObject(json.get(), "title", opt.title.c_str());
    if (!opt.leaderboard.empty())
        cJSON_AddStringToObject(json.get(), "leaderboard", with_line_breaks(opt.leaderboard).c_str());
    if (!opt.romname.empty())
        cJSON_AddStringToObject(json.get(), "romname", opt.romname.c_str());
    if (with_title2 && !opt.title2.empty())
        cJSON_AddStringToObject(json.get(), "title2", opt.title2.c_str());
    std::unique_ptr<char, decltype(&cJSON_free)> text(cJSON_PrintUnformatted(json.get()), cJSON_free);
    return text ? text.get() : "{}";
}

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

std::string target_name(const options& opt, const std::string& fallback)
{
    return opt.name.empty() ? fallback : opt.name;
}

int check_name(const std::string& name)
{
    if (valid_name(name, PREPARE_NAME_FIELD))
        return 0;
    return fail(EXIT_USAGE, "'%s' cannot be a file name on the board (at most 51 characters, no '/')", name.c_str());
}

// One readable file among the arguments.
int check_input_file(const options& opt, const char* what)
{
    if (opt.args.size() != 1)
        return fail(EXIT_USAGE, "give one %s (see --help)", what);
    const char* file = opt.args[0].c_str();
    struct stat st;
    if (stat(file, &st) != 0 || access(file, R_OK) != 0)
        return fail(EXIT_USAGE, "cannot read %s: %s", file, strerror(errno));
    return S_ISREG(st.st_mode) ? 0 : fail(EXIT_USAGE, "cannot read %s: not a file", file);
}

int command_file(const options& opt, const board_link& board, const transfer_family& kind, const char* default_name)
{
    std::string name = target_name(opt, default_name ? default_name : base_name(opt.args[0]));
    int result = transfer_file(board, kind, opt.args[0], name);
    if (result != 0)
        return result;
    if (kind.verify == CMD_FW_VERIFY) {
        say("firmware stored; the board is starting the update\n");
        return 0;
    }
    if (kind.verify == CMD_FILE_VERIFY) {
        say("file stored on the board's USB disk\n");
        return 0;
    }
    say("package stored; the board is unpacking it\n");
    int unpacked = await_reply(board, CMD_PACKAGE_UNPACKED, UNPACK_TIMEOUT_S);
    if (unpacked < 0)
        return fail(EXIT_LINK, "no answer from the board while it unpacked the package");
    return verdict(unpacked, "package unpacked", "the board could not unpack the package (it kept the archive)");
}

int check_send(const options& opt)
{
    int bad = check_input_file(opt, "file to send");
    return bad ? bad : check_name(target_name(opt, base_name(opt.args[0])));
}

int check_firmware(const options& opt)
{
    int bad = check_input_file(opt, "firmware image");
    // The name must leave room for the signature's suffix.
    return bad ? bad : check_name(target_name(opt, FIRMWARE_NAME) + FIRMWARE_SIGNATURE_SUFFIX);
}

int command_send(const options& opt, const board_link* board)
{
    return command_file(opt, *board, FILE_FAMILY, nullptr);
}

// A signature beside the image goes first, under the image's name on the board with the same
// suffix, so that the board finds it when it checks the image.
int command_firmware(const options& opt, const board_link* board)
{
    std::string signature = opt.args[0] + FIRMWARE_SIGNATURE_SUFFIX;
    if (access(signature.c_str(), F_OK) != 0) {
        say("no signature %s beside the image: a board that holds a key refuses it\n", signature.c_str());
    } else {
        say("sending the signature %s\n", signature.c_str());
        int sent = transfer_file(*board, FILE_FAMILY, signature, target_name(opt, FIRMWARE_NAME) + FIRMWARE_SIGNATURE_SUFFIX);
        if (sent != 0)
            return sent;
    }
    return command_file(opt, *board, FIRMWARE_FAMILY, FIRMWARE_NAME);
}

int command_package(const options& opt, const board_link* board)
{
    return command_file(opt, *board, PACKAGE_FAMILY, nullptr);
}

int check_update(const options& opt)
{
    std::string name = opt.args.empty() ? FIRMWARE_NAME : opt.args[0];
    if (opt.args.size() > 1 || !valid_name(name, FIRMWARE_NAME_FIELD))
        return fail(EXIT_USAGE, "give one image name of at most 59 characters, without '/'");
    return 0;
}

int command_update(const options& opt, const board_link* board)
{
    std::string name = opt.args.empty() ? FIRMWARE_NAME : opt.args[0];
    // A board that holds a key reads the whole image for its signature before it answers: the size
    // is not known here, so the wait allows for the largest image on a slow disk.
    constexpr int IMAGE_CHECK_S = 60;
    int status = request(*board, make_firmware_update(name), CMD_FIRMWARE_UPDATE, board->timeout_s + IMAGE_CHECK_S,
                         "update request");
    return verdict(status, "the board is starting the firmware update",
                   "the board has no such image in the directory of the last transfer (it still searches its USB "
                   "disks for vorlix_update_online.img), or it refused the image's signature");
}
// The picture file at `path`, at most `limit` bytes and one more when it is larger; false when
// it cannot be read.
bool read_picture_file(const std::string& path, size_t limit, std::vector<uint8_t>& bytes)
{
    File file(fopen(path.c_str(), "rb"));
    if (!file)
        return false;
    uint8_t block[4096];
    for (size_t length; bytes.size() <= limit && (length = fread(block, 1, sizeof block, file.get())) > 0;)
        bytes.insert(bytes.end(), block, block + length);
    return !ferror(file.get());
}

// The picture module's path: installed, or in the build tree, in the same place beside the tool.
std::string picture_module()
{
    std::error_code error;
    std::filesystem::path tool = std::filesystem::read_symlink("/proc/self/exe", error);
    return (tool.parent_path() / TAVIMORO_PICTURE_MODULE).string();
}

// The picture as it will travel: fitted by the picture module unless `as_is`. A picture the module
// cannot take (or a host without the module) travels as it is, and the board judges it.
fitted_picture prepare_picture(std::vector<uint8_t> file, bool as_is)
{
    fitted_picture picture{std::move(file), false, "as it is", 0, 0};
    if (as_is)
        return picture;
    void* module = dlopen(picture_module().c_str(), RTLD_NOW | RTLD_LOCAL);
    auto fit = module ? reinterpret_cast<fit_picture_function>(dlsym(module, FIT_PICTURE_SYMBOL)) : nullptr;
    if (!fit) {
        fprintf(stderr, "tavimoro-host: cannot fit pictures here (%s): sending the file as it is\n", dlerror());
        return picture;
    }
    fitted_picture fitted;
    if (fit(picture.bytes, fitted) != 0) {
        fprintf(stderr, "tavimoro-host: not a PNG or JPEG the board can show: sending the file as it is\n");
        return picture;
    }
    say("the picture (%dx%d, %zu bytes) travels %s: %zu bytes\n", fitted.width, fitted.height,
           picture.bytes.size(), fitted.made, fitted.bytes.size());
    return fitted;
}

int check_image(const options& opt)
{
    int bad = check_input_file(opt, "picture to show");
    if (bad == 0 && !opt.name.empty())
        bad = check_name(opt.name);
    return bad;
}

int command_image(const options& opt, const board_link* board)
{
    std::vector<uint8_t> file;
    if (!read_picture_file(opt.args[0], opt.as_is ? SHOW_IMAGE_MAX_PAYLOAD : PICTURE_FILE_MAX, file))
        return fail(EXIT_USAGE, "cannot read %s", opt.args[0].c_str());
    if (file.size() > PICTURE_FILE_MAX)
        return fail(EXIT_USAGE, "%s is too large for a picture", opt.args[0].c_str());
    fitted_picture picture = prepare_picture(std::move(file), opt.as_is);
    std::string text = json_text(opt, false);
    if (text.size() > SHOW_IMAGE_TEXT_MAX)
        return fail(EXIT_USAGE, "the picture's text is too long (at most 511 bytes of JSON)");
    std::vector<uint8_t> payload(SHOW_IMAGE_HEADER_SIZE + picture.bytes.size() + text.size());
    put_u32(payload.data(), static_cast<uint32_t>(picture.bytes.size()));
    put_u32(payload.data() + 4, static_cast<uint32_t>(text.size()));
    std::copy(text.begin(), text.end(),
              std::copy(picture.bytes.begin(), picture.bytes.end(), payload.begin() + SHOW_IMAGE_HEADER_SIZE));
    if (payload.size() > SHOW_IMAGE_MAX_PAYLOAD)
        return fail(EXIT_USAGE, "the picture and its text exceed 512000 bytes");
    std::string name = target_name(opt, picture.jpeg ? SHOW_IMAGE_JPEG_NAME : SHOW_IMAGE_NAME);
    uint32_t size = static_cast<uint32_t>(payload.size());
    int status = request(*board, make_file_prepare(CMD_IMAGE_PREPARE, size, packet_count(size), name),
                         CMD_IMAGE_PREPARE, board->timeout_s, "picture request");
    if (status != 0)
        return status < 0 ? EXIT_LINK : fail(EXIT_REFUSED, "the board refused the picture's name");
    size_t at = 0;
    auto next = [&](uint8_t* chunk, size_t length) {
        memcpy(chunk, payload.data() + at, length);
        at += length;
        return length;
    };
    if (!send_data_reports(*board, CMD_IMAGE_DATA, size, next, "picture"))
        return EXIT_LINK;
    status = request(*board, make_verify(CMD_IMAGE_VERIFY, crc32_calc(payload.data(), size)), CMD_IMAGE_VERIFY,
                     board->timeout_s, "picture");
    return verdict(status, "the board shows the picture", "the picture arrived damaged (CRC mismatch)");
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
    enum { TITLE = 256, TITLE2, ROMNAME, LEADERBOARD, TYPE, ROM, PRINT, AS_IS, ROOT, REMOVE, DRY_RUN };
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
        {"dry-run", no_argument, nullptr, DRY_RUN},
        {nullptr, 0, nullptr, 0},
    };
    for (int c; (c = getopt_long(argc, argv, "d:s:t:n:qh", longs, nullptr)) != -1;) {
        switch (c) {
        case 'd': opt.device = optarg; break;
        case 's': opt.serial = optarg; break;
        case 't': opt.timeout_s = atoi(optarg); break;
        case 'n': opt.name = optarg; break;
        case 'q': set_quiet(true); break;
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
        default: return -1;
        }
    }
    if (rom) {
        lookup_keys keys = game_lookup_keys(rom, opt.title);
        opt.romname = keys.romname;
        opt.title = keys.title;
        if (opt.title2.empty())
            opt.title2 = keys.title;
    }
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
    {"info", [](const options& opt) { return !opt.print; }, nothing_to_check, command_info},
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
    if (!found->needs_board(opt))
        return found->run(opt, nullptr);
    if (opt.device.empty()) {
        if (int missing = find_link(opt.serial, opt.device); missing != 0)
            return missing;
    }
    init_crc32_table();
    board_link board;
    board.timeout_s = opt.timeout_s;
    if (int opened = open_link(opt.device, board); opened != 0)
        return opened;
    return found->run(opt, &board);
}
