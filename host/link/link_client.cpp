// The host side of the USB link: the board's node opened through the system's port, requests and
// replies, messages, and the prepare, data and verify of a transfer with its progress.
#include "host/link/link_client.h"

#include "hostlink/crc32.h"

#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

namespace {

constexpr const char* NO_PERMISSION = "install the udev rule 70-tavimoro.rules and plug the board in again "
                                      "(README, \"Connecting a frontend\")";
constexpr size_t MESSAGE_TEXT_MAX = 4095;

bool quiet = false;
thread_local std::string* captured_failures = nullptr;

struct FileCloser {
    void operator()(FILE* file) const { fclose(file); }
};
using File = std::unique_ptr<FILE, FileCloser>;

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

uint32_t file_crc(FILE* file)
{
    uint8_t block[4096];
    uint32_t crc = 0;
    for (size_t length; (length = fread(block, 1, sizeof block, file)) > 0;)
        crc = crc32_calc_with_value(block, length, crc);
    rewind(file);
    return crc;
}

} // namespace

void set_quiet(bool on)
{
    quiet = on;
}

void say(const char* format, ...)
{
    if (quiet)
        return;
    va_list args;
    va_start(args, format);
    vprintf(format, args);
    va_end(args);
}

void capture_failures(std::string* into)
{
    captured_failures = into;
}

int fail(int code, const char* format, ...)
{
    va_list args;
    va_start(args, format);
    char reason[1024];
    vsnprintf(reason, sizeof reason, format, args);
    va_end(args);
    fprintf(stderr, "tavimoro-host: %s\n", reason);
    if (captured_failures)
        *captured_failures += (captured_failures->empty() ? "" : "; ") + std::string(reason);
    return code;
}

std::string host_root()
{
    const char* root = getenv("TAVIMORO_HOST_ROOT");
    return root ? root : "";
}

int find_link(const std::string& serial, std::string& device)
{
    std::vector<found_board> boards = find_boards(host_root(), BOARD_IDENTITY);
    if (!serial.empty())
        std::erase_if(boards, [&](const found_board& board) { return board.serial != serial; });
    if (boards.empty() && serial.empty())
        return fail(EXIT_LINK, "%s", NO_BOARD);
    if (boards.empty())
        return fail(EXIT_LINK, "no board with serial number %s found ('tavimoro-host list' shows the boards found)",
                    serial.c_str());
    if (boards.size() > 1) {
        std::string serials;
        for (const found_board& board : boards)
            serials += " " + (board.serial.empty() ? std::string("(none)") : board.serial);
        return fail(EXIT_USAGE, "several boards found (serial numbers%s): pick one with --serial", serials.c_str());
    }
    device = boards[0].node;
    return 0;
}

int open_link(const std::string& path, board_link& board)
{
    bool no_permission = false;
    std::string why;
    board.port = open_port(path, no_permission, why);
    if (!board.port && no_permission)
        return fail(EXIT_LINK, "no permission to use the board at %s: %s", path.c_str(), NO_PERMISSION);
    if (!board.port)
        return fail(EXIT_LINK, "cannot open %s: %s", path.c_str(), why.c_str());
    return 0;
}

bool send_report(const board_link& board, const hid_report& report)
{
    return write_report(*board.port, report);
}

// Other reports (late answers to earlier requests) are passed over.
int await_reply(const board_link& board, uint8_t command, int timeout_s)
{
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeout_s);
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            return -1;
        hid_report reply;
        if (read_report(*board.port, reply, static_cast<int>(left.count())) <= 0)
            return -1;
        if (has_report_magic(reply.data()) && reply[OFFSET_COMMAND] == command)
            return reply[OFFSET_STATUS];
    }
}

int request(const board_link& board, const hid_report& report, uint8_t reply, int timeout_s, const char* what)
{
    if (!send_report(board, report)) {
        fail(EXIT_LINK, "cannot write to the board: %s", last_port_error().c_str());
        return -1;
    }
    int status = await_reply(board, reply, timeout_s);
    if (status < 0)
        fail(EXIT_LINK, "no answer from the board to the %s", what);
    return status;
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

int send_message(const board_link& board, const std::string& text)
{
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
            return fail(EXIT_LINK, "cannot write to the board: %s", last_port_error().c_str());
    }
    hid_report last = make_data(CMD_MESSAGE_DATA, packet_count(size) - 1, text.data() + at, size - at);
    int status = request(board, last, CMD_MESSAGE_DATA, board.timeout_s, "message");
    return verdict(status, "the board took the game information", "the message arrived damaged (CRC mismatch)");
}

bool send_data_reports(const board_link& board, uint8_t command, uint64_t size, const chunk_source& next,
                       const char* label)
{
    progress_meter meter(label, size);
    uint8_t chunk[PAYLOAD_MAX];
    uint64_t sent = 0;
    for (uint32_t id = 0; sent < size; id++) {
        size_t length = next(chunk, size - sent < PAYLOAD_MAX ? size_t(size - sent) : PAYLOAD_MAX);
        if (length == 0 || !send_report(board, make_data(command, id, chunk, length))) {
            fail(EXIT_LINK, "the transfer broke off: %s", length == 0 ? "the input ended early" : last_port_error().c_str());
            return false;
        }
        sent += length;
        meter.update(sent);
    }
    return true;
}

int transfer_file(const board_link& board, const transfer_family& kind, const std::string& path,
                  const std::string& name)
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
    // The board reads the whole file again before it answers (and hashes a firmware image for its
    // signature): the wait grows with the size, at a pace a slow board's USB disk keeps.
    constexpr uint32_t BOARD_READ_BYTES_PER_S = 10 * 1024 * 1024;
    int verify_timeout_s = board.timeout_s + static_cast<int>(size / BOARD_READ_BYTES_PER_S);
    status = request(board, make_verify(kind.verify, crc), kind.verify, verify_timeout_s, "verify request");
    if (status < 0)
        return EXIT_LINK;
    if (status == 0)
        return 0;
    if (kind.verify == CMD_FW_VERIFY)
        return fail(EXIT_REFUSED, "the board refused the image: damaged (CRC mismatch), or not signed with the board's "
                                  "key (the board's log says which)");
    return fail(EXIT_REFUSED, "the stored file is missing or damaged (CRC mismatch)");
}
