// tavimoro-host: the host side of the USB link to the marquee board. Names the running game,
// pushes pictures, sends files, firmware images and media packages, and asks the link state.
#include "core/unique_fd.h"
#include "hostlink/crc32.h"
#include "hostlink/report_socket.h"
#include "hostlink/wire.h"
#include "host/hidraw_search.h"
#include "host/lookup_keys.h"
#include "host/picture_fit.h"

#include <cjson/cJSON.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <getopt.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdarg>
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
  info [--title T] [--title2 T] [--romname R] [--leaderboard L] [--type N]
       [--rom PATH] [--print]
                     Name the running game. title2 (or romname) picks the game's video and
                     picture on the board's USB disk; title is shown when no picture is
                     found; leaderboard scrolls under it (write \n or a real line break for a
                     new line). With no field at all the board shows its boot banner again.
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
  package ZIP [--name NAME]
                     Store a zip archive of media and unpack it into the product directory.
  update [NAME]      Start a firmware update with an image already stored by 'send'
                     (NAME defaults to vorlix_update_online.img).
  state              Ask whether the board's USB link is configured.

Options:
  -d, --device PATH  The board's HID node on this computer (/dev/hidrawN) or the host socket
                     of a simulated board. Without it, the environment variable
                     TAVIMORO_DEVICE names it; without that, the board is found among the
                     computer's HID devices by its USB identity (given below). You need read
                     and write access to the node: install the udev rule 70-tavimoro.rules.
  -s, --serial SN    With several boards plugged in, the one with this USB serial number
                     (TAVIMORO_SERIAL sets it too); 'list' shows them.
  -t, --timeout SEC  How long to wait for each answer of the board (default 5).
  -n, --name NAME    The file name on the board: at most 51 characters, no '/'.
  -q, --quiet        No progress and no confirmations: only errors (for frontend hooks).
                     What list, state and --print are asked for is still printed.
  -h, --help         Show this help.

Exit status: 0 done, 1 the board refused or reported a failure, 2 wrong usage or unreadable
input, 3 no board found, no permission on its node, the link failed or the board did not
answer in time.
)";

constexpr usb_identity BOARD_IDENTITY{TAVIMORO_USB_VID, TAVIMORO_USB_PID, TAVIMORO_USB_LINK_INTERFACE};
constexpr const char* NO_BOARD = "no marquee board found: plug it into a USB port of this computer and check that "
                                 "it is switched on ('tavimoro-host list' shows the boards found)";
constexpr const char* NO_PERMISSION = "install the udev rule 70-tavimoro.rules and plug the board in again "
                                      "(README, \"Connecting a frontend\")";

constexpr int EXIT_REFUSED = 1;
constexpr int EXIT_USAGE = 2;
constexpr int EXIT_LINK = 3;
constexpr int DEFAULT_TIMEOUT_S = 5;
// Unpacking a large package takes the board a while before its final answer.
constexpr int UNPACK_TIMEOUT_S = 600;
constexpr size_t MESSAGE_TEXT_MAX = 4095;
constexpr size_t SHOW_IMAGE_TEXT_MAX = 511;
constexpr const char* FIRMWARE_NAME = "vorlix_update_online.img";
constexpr const char* SHOW_IMAGE_NAME = "show_image.png";
constexpr const char* SHOW_IMAGE_JPEG_NAME = "show_image.jpg";
// Far above any marquee picture, and what fitting may decode: the board's largest picture as a PNG
// stored without compression.
constexpr size_t PICTURE_FILE_MAX = 64 * 1024 * 1024;

struct options {
    std::string device, serial;
    int timeout_s = DEFAULT_TIMEOUT_S;
    std::string name;
    std::string title, title2, romname, leaderboard, type;
    bool print = false;
    bool as_is = false;
    std::vector<std::string> args;
};

struct board_link {
    UniqueFD fd;
    bool hidraw = false;
    int timeout_s = DEFAULT_TIMEOUT_S;
};

struct FileCloser {
    void operator()(FILE* file) const { fclose(file); }
};
using File = std::unique_ptr<FILE, FileCloser>;

// --quiet: the hooks want neither progress nor confirmations, only errors.
bool quiet = false;

// A confirmation on standard output, unless quiet.
[[gnu::format(printf, 1, 2)]] void say(const char* format, ...)
{
    if (quiet)
        return;
    va_list args;
    va_start(args, format);
    vprintf(format, args);
    va_end(args);
}

[[gnu::format(printf, 2, 3)]] int fail(int code, const char* format, ...)
{
    va_list args;
    va_start(args, format);
    fprintf(stderr, "tavimoro-host: ");
    vfprintf(stderr, format, args);
    fprintf(stderr, "\n");
    va_end(args);
    return code;
}

// Test only: the host's /sys and /dev are taken under this directory, so that tests search a
// fake tree of HID devices and never the machine's own.
std::string host_root()
{
    const char* root = getenv("TAVIMORO_HOST_ROOT");
    return root ? root : "";
}

// The board's node when none is named: 0 with `device` set, else an exit status with its
// reason printed.
int find_link(const options& opt, std::string& device)
{
    std::vector<found_board> boards = find_boards(host_root(), BOARD_IDENTITY);
    if (!opt.serial.empty())
        std::erase_if(boards, [&](const found_board& board) { return board.serial != opt.serial; });
    if (boards.empty() && opt.serial.empty())
        return fail(EXIT_LINK, "%s", NO_BOARD);
    if (boards.empty())
        return fail(EXIT_LINK, "no board with serial number %s found ('tavimoro-host list' shows the boards found)",
                    opt.serial.c_str());
    if (boards.size() > 1) {
        std::string serials;
        for (const found_board& board : boards)
            serials += " " + (board.serial.empty() ? std::string("(none)") : board.serial);
        return fail(EXIT_USAGE, "several boards found (serial numbers%s): pick one with --serial", serials.c_str());
    }
    device = boards[0].node;
    return 0;
}

// Hooks fire in quick succession, and two runs writing to one node at once would interleave
// their reports: runs on the same node take turns.
bool take_turn(int fd)
{
    int locked;
    do
        locked = flock(fd, LOCK_EX);
    while (locked != 0 && errno == EINTR);
    return locked == 0;
}

// 0 with the link open, else an exit status with its reason printed.
int open_link(const std::string& path, board_link& board)
{
    struct stat st;
    if (stat(path.c_str(), &st) == 0) {
        board.hidraw = !S_ISSOCK(st.st_mode);
        board.fd = board.hidraw ? UniqueFD(open(path.c_str(), O_RDWR | O_CLOEXEC)) : connect_report_socket(path);
    }
    if (!board.fd.valid() && (errno == EACCES || errno == EPERM))
        return fail(EXIT_LINK, "no permission to use the board at %s: %s", path.c_str(), NO_PERMISSION);
    if (!board.fd.valid())
        return fail(EXIT_LINK, "cannot open %s: %s", path.c_str(), strerror(errno));
    if (board.hidraw && !take_turn(board.fd.get()))
        return fail(EXIT_LINK, "cannot lock %s: %s", path.c_str(), strerror(errno));
    return 0;
}

int command_list()
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

// A write to a hidraw node starts with the report number, 0 for a device without numbered reports.
bool send_report(const board_link& board, const hid_report& report)
{
    uint8_t buffer[REPORT_SIZE + 1] = {0};
    const uint8_t* data = report.data();
    size_t size = REPORT_SIZE;
    if (board.hidraw) {
        memcpy(buffer + 1, report.data(), REPORT_SIZE);
        data = buffer;
        size++;
    }
    ssize_t written;
    do
        written = board.hidraw ? write(board.fd.get(), data, size) : send(board.fd.get(), data, size, MSG_NOSIGNAL);
    while (written < 0 && errno == EINTR);
    return written == static_cast<ssize_t>(size);
}

// The status of the board's reply to `command`; -1 when none came in time or the link failed.
// Other reports (late answers to earlier requests) are passed over.
int await_reply(const board_link& board, uint8_t command, int timeout_s)
{
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeout_s);
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            return -1;
        pollfd waiting{board.fd.get(), POLLIN, 0};
        int ready = poll(&waiting, 1, static_cast<int>(left.count()));
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready <= 0)
            return -1;
        uint8_t reply[REPORT_SIZE] = {};
        ssize_t length = read(board.fd.get(), reply, sizeof reply);
        if (length <= 0)
            return -1;
        if (has_report_magic(reply) && reply[OFFSET_COMMAND] == command)
            return reply[OFFSET_STATUS];
    }
}

// Sends a request and waits for its reply; prints `what` when the board does not answer.
int request(const board_link& board, const hid_report& report, uint8_t reply, int timeout_s, const char* what)
{
    if (!send_report(board, report)) {
        fail(EXIT_LINK, "cannot write to the board: %s", strerror(errno));
        return -1;
    }
    int status = await_reply(board, reply, timeout_s);
    if (status < 0)
        fail(EXIT_LINK, "no answer from the board to the %s", what);
    return status;
}

// Progress of a long transfer on a terminal: share, bytes, rate and time left, redrawn a few
// times a second.
class progress_meter {
public:
    progress_meter(const char* label, uint64_t total)
        : label_(label), total_(total), shown_(!quiet && isatty(STDERR_FILENO)), start_(Clock::now())
    {
    }
    void update(uint64_t done)
    {
        if (!shown_)
            return;
        Clock::time_point now = Clock::now();
        if (done < total_ && now - drawn_ < REDRAW)
            return;
        drawn_ = now;
        double seconds = std::chrono::duration<double>(now - start_).count();
        double rate = seconds > 0 ? double(done) / seconds : 0;
        int percent = total_ ? static_cast<int>(done * 100 / total_) : 100;
        fprintf(stderr, "\r%s: %3d%% (%llu of %llu kB) %.1f kB/s", label_, percent,
                static_cast<unsigned long long>(done / 1000), static_cast<unsigned long long>(total_ / 1000),
                rate / 1000);
        if (done == total_) {
            fprintf(stderr, " in %.1f s\n", seconds);
        } else if (rate > 0) {
            long left = std::lround(double(total_ - done) / rate);
            fprintf(stderr, ", %ld:%02ld left  ", left / 60, left % 60);
        }
    }

private:
    using Clock = std::chrono::steady_clock;
    static constexpr std::chrono::milliseconds REDRAW{250};
    const char* label_;
    uint64_t total_;
    bool shown_;
    Clock::time_point start_;
    Clock::time_point drawn_{};
};

// Sends `size` bytes from `next` as data reports with `command`; false on a link failure.
template <typename Source>
bool send_data_reports(const board_link& board, uint8_t command, uint64_t size, Source next, const char* label)
{
    progress_meter meter(label, size);
    uint8_t chunk[PAYLOAD_MAX];
    uint64_t sent = 0;
    for (uint32_t id = 0; sent < size; id++) {
        size_t length = next(chunk, size - sent < PAYLOAD_MAX ? size_t(size - sent) : PAYLOAD_MAX);
        if (length == 0 || !send_report(board, make_data(command, id, chunk, length))) {
            fail(EXIT_LINK, "the transfer broke off: %s", length == 0 ? "the input ended early" : strerror(errno));
            return false;
        }
        sent += length;
        meter.update(sent);
    }
    return true;
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

int verdict(int status, const char* done, const char* failure)
{
    if (status < 0)
        return EXIT_LINK;
    if (status != 0)
        return fail(EXIT_REFUSED, "%s", failure);
    say("%s\n", done);
    return 0;
}

int command_state(const board_link& board, const options&)
{
    int status = request(board, make_request(CMD_CONNECT_STATE), CMD_CONNECT_STATE, board.timeout_s, "state request");
    if (status < 0)
        return EXIT_LINK;
    printf(status == 1 ? "the board's USB link is configured\n" : "the board's USB link is not configured\n");
    return 0;
}

int command_info(const board_link& board, const options& opt)
{
    std::string text = json_text(opt, true);
    if (text.size() > MESSAGE_TEXT_MAX)
        return fail(EXIT_USAGE, "the message is too long (at most 4095 bytes of JSON)");
    uint32_t size = static_cast<uint32_t>(text.size());
    hid_report prepare = make_message_prepare(size, packet_count(size), crc32_calc(text.data(), size));
    if (request(board, prepare, CMD_MESSAGE_PREPARE, board.timeout_s, "message") < 0)
        return EXIT_LINK;
    // A message is answered after its last data report only.
    size_t at = 0;
    for (uint32_t id = 0; id + 1 < packet_count(size); id++, at += PAYLOAD_MAX) {
        if (!send_report(board, make_data(CMD_MESSAGE_DATA, id, text.data() + at, PAYLOAD_MAX)))
            return fail(EXIT_LINK, "cannot write to the board: %s", strerror(errno));
    }
    hid_report last = make_data(CMD_MESSAGE_DATA, packet_count(size) - 1, text.data() + at, size - at);
    int status = request(board, last, CMD_MESSAGE_DATA, board.timeout_s, "message");
    return verdict(status, "the board took the game information", "the message arrived damaged (CRC mismatch)");
}

struct family {
    uint8_t prepare, data, verify;
};
constexpr family FILE_FAMILY{CMD_FILE_PREPARE, CMD_FILE_DATA, CMD_FILE_VERIFY};
constexpr family FIRMWARE_FAMILY{CMD_FW_PREPARE, CMD_FW_DATA, CMD_FW_VERIFY};
constexpr family PACKAGE_FAMILY{CMD_PACKAGE_PREPARE, CMD_PACKAGE_DATA, CMD_PACKAGE_VERIFY};

uint32_t file_crc(FILE* file)
{
    uint8_t block[4096];
    uint32_t crc = 0;
    for (size_t length; (length = fread(block, 1, sizeof block, file)) > 0;)
        crc = crc32_calc_with_value(block, length, crc);
    rewind(file);
    return crc;
}

// Prepare, data and verify of a file: 0 when the board holds it intact, else an exit status
// with its reason printed.
int transfer_file(const board_link& board, const family& kind, const std::string& path, const std::string& name)
{
    File file(fopen(path.c_str(), "rb"));
    struct stat st;
    if (!file || fstat(fileno(file.get()), &st) != 0 || !S_ISREG(st.st_mode))
        return fail(EXIT_USAGE, "cannot read %s", path.c_str());
    if (static_cast<uint64_t>(st.st_size) > UINT32_MAX)
        return fail(EXIT_USAGE, "%s is larger than 4 GiB", path.c_str());
    uint32_t size = static_cast<uint32_t>(st.st_size);
    uint32_t crc = file_crc(file.get());
    int status = request(board, make_file_prepare(kind.prepare, size, packet_count(size), name), kind.prepare,
                         board.timeout_s, "transfer request");
    if (status < 0)
        return EXIT_LINK;
    if (status == 1)
        return fail(EXIT_REFUSED, "the board has no USB disk to store on (or refused the name)");
    if (status != 0)
        return fail(EXIT_REFUSED, "not enough free space on the board's USB disk");
    auto next = [&](uint8_t* chunk, size_t length) { return fread(chunk, 1, length, file.get()); };
    if (!send_data_reports(board, kind.data, size, next, name.c_str()))
        return EXIT_LINK;
    status = request(board, make_verify(kind.verify, crc), kind.verify, board.timeout_s, "verify request");
    if (status < 0)
        return EXIT_LINK;
    return status == 0 ? 0 : fail(EXIT_REFUSED, "the stored file is missing or damaged (CRC mismatch)");
}

std::string target_name(const options& opt, const std::string& fallback)
{
    return opt.name.empty() ? fallback : opt.name;
}

int command_file(const board_link& board, const options& opt, const family& kind, const char* default_name)
{
    if (opt.args.size() != 1)
        return fail(EXIT_USAGE, "give one file to send (see --help)");
    std::string name = target_name(opt, default_name ? default_name : base_name(opt.args[0]));
    if (!valid_name(name, PREPARE_NAME_FIELD))
        return fail(EXIT_USAGE, "'%s' cannot be a file name on the board (at most 51 characters, no '/')",
                    name.c_str());
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

int command_update(const board_link& board, const options& opt)
{
    std::string name = opt.args.empty() ? FIRMWARE_NAME : opt.args[0];
    if (opt.args.size() > 1 || !valid_name(name, FIRMWARE_NAME_FIELD))
        return fail(EXIT_USAGE, "give one image name of at most 59 characters, without '/'");
    int status = request(board, make_firmware_update(name), CMD_FIRMWARE_UPDATE, board.timeout_s, "update request");
    return verdict(status, "the board is starting the firmware update",
                   "the board has no such image in the directory of the last transfer; it still searches its USB "
                   "disks for vorlix_update_online.img");
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

int command_image(const board_link& board, const options& opt)
{
    if (opt.args.size() != 1)
        return fail(EXIT_USAGE, "give one picture to show (see --help)");
    std::vector<uint8_t> file;
    if (!read_picture_file(opt.args[0], opt.as_is ? SHOW_IMAGE_MAX_PAYLOAD : PICTURE_FILE_MAX, file))
        return fail(EXIT_USAGE, "cannot read %s", opt.args[0].c_str());
    if (file.size() > PICTURE_FILE_MAX)
        return fail(EXIT_USAGE, "%s is too large for a picture", opt.args[0].c_str());
    fitted_picture picture = prepare_picture(std::move(file), opt.as_is);
    std::string text = json_text(opt, false);
    if (text.size() > SHOW_IMAGE_TEXT_MAX)
        return fail(EXIT_USAGE, "the picture's text is too long (at most 511 bytes of JSON)");
    std::vector<uint8_t> payload(SHOW_IMAGE_HEADER_SIZE);
    put_u32(payload.data(), static_cast<uint32_t>(picture.bytes.size()));
    put_u32(payload.data() + 4, static_cast<uint32_t>(text.size()));
    payload.insert(payload.end(), picture.bytes.begin(), picture.bytes.end());
    payload.insert(payload.end(), text.begin(), text.end());
    if (payload.size() > SHOW_IMAGE_MAX_PAYLOAD)
        return fail(EXIT_USAGE, "the picture and its text exceed 512000 bytes");
    std::string name = target_name(opt, picture.jpeg ? SHOW_IMAGE_JPEG_NAME : SHOW_IMAGE_NAME);
    if (!valid_name(name, PREPARE_NAME_FIELD))
        return fail(EXIT_USAGE, "'%s' cannot be a file name on the board (at most 51 characters, no '/')",
                    name.c_str());
    uint32_t size = static_cast<uint32_t>(payload.size());
    int status = request(board, make_file_prepare(CMD_IMAGE_PREPARE, size, packet_count(size), name),
                         CMD_IMAGE_PREPARE, board.timeout_s, "picture request");
    if (status != 0)
        return status < 0 ? EXIT_LINK : fail(EXIT_REFUSED, "the board refused the picture's name");
    size_t at = 0;
    auto next = [&](uint8_t* chunk, size_t length) {
        memcpy(chunk, payload.data() + at, length);
        at += length;
        return length;
    };
    if (!send_data_reports(board, CMD_IMAGE_DATA, size, next, "picture"))
        return EXIT_LINK;
    status = request(board, make_verify(CMD_IMAGE_VERIFY, crc32_calc(payload.data(), size)), CMD_IMAGE_VERIFY,
                     board.timeout_s, "picture");
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
    enum { TITLE = 256, TITLE2, ROMNAME, LEADERBOARD, TYPE, ROM, PRINT, AS_IS };
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
        {nullptr, 0, nullptr, 0},
    };
    for (int c; (c = getopt_long(argc, argv, "d:s:t:n:qh", longs, nullptr)) != -1;) {
        switch (c) {
        case 'd': opt.device = optarg; break;
        case 's': opt.serial = optarg; break;
        case 't': opt.timeout_s = atoi(optarg); break;
        case 'n': opt.name = optarg; break;
        case 'q': quiet = true; break;
        case 'h': print_usage(); exit(0);
        case TITLE: opt.title = optarg; break;
        case TITLE2: opt.title2 = optarg; break;
        case ROMNAME: opt.romname = optarg; break;
        case LEADERBOARD: opt.leaderboard = optarg; break;
        case TYPE: opt.type = optarg; break;
        case ROM: rom = optarg; break;
        case PRINT: opt.print = true; break;
        case AS_IS: opt.as_is = true; break;
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

} // namespace

int main(int argc, char** argv)
{
    setvbuf(stdout, nullptr, _IONBF, 0);
    options opt;
    if (parse_options(argc, argv, opt) != 0 || opt.args.empty())
        return fail(EXIT_USAGE, "missing or wrong arguments; see tavimoro-host --help");
    std::string command = opt.args[0];
    opt.args.erase(opt.args.begin());
    if (command == "list")
        return command_list();
    // What a hook would send, without a board: how a hook's keys are checked.
    if (command == "info" && opt.print) {
        printf("%s\n", json_text(opt, true).c_str());
        return 0;
    }
    if (opt.device.empty()) {
        if (int found = find_link(opt, opt.device); found != 0)
            return found;
    }
    init_crc32_table();
    board_link board;
    board.timeout_s = opt.timeout_s;
    if (int opened = open_link(opt.device, board); opened != 0)
        return opened;
    if (command == "state")
        return command_state(board, opt);
    if (command == "info")
        return command_info(board, opt);
    if (command == "image")
        return command_image(board, opt);
    if (command == "send")
        return command_file(board, opt, FILE_FAMILY, nullptr);
    if (command == "firmware")
        return command_file(board, opt, FIRMWARE_FAMILY, FIRMWARE_NAME);
    if (command == "package")
        return command_file(board, opt, PACKAGE_FAMILY, nullptr);
    if (command == "update")
        return command_update(board, opt);
    return fail(EXIT_USAGE, "unknown command '%s'; see tavimoro-host --help", command.c_str());
}
