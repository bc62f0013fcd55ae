// The service's one owner of the board's link: the commands waiting, the thread that sends them,
// the link kept open and opened again when the board comes back, and the state the service shows.
#include "host/link/service_core.h"

#include "core/unique_fd.h"
#include "host/link/event_message.h"
#include "hostlink/crc32.h"

#include <cjson/cJSON.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cerrno>
#include <cstring>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <deque>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>

namespace {

constexpr size_t RECENT_EVENTS = 20;
constexpr const char* OVERTAKEN = "a later event was raised before this one could be sent: nothing sent";

struct queued {
    service_command command;
    uint64_t number = 0;
    command_done done;
};

// Everything the threads share, behind one lock; the link itself belongs to the link's thread.
struct service {
    std::mutex lock;
    std::condition_variable changed;
    service_config config;
    std::optional<queued> show;  // the one show waiting: a newer one replaces it
    std::deque<queued> transfers;
    std::deque<service_event> recent;
    uint64_t next_number = 1, sequence = 0;
    std::string link = "closed", last_named, selection;
    bool board_present = false, stopping = false;
    bool look_again = false;  // new work, or the board may have come: try the link again
    UniqueFD wake;  // an eventfd: the link's thread looks again
    std::thread thread;
};

service the;

std::string now_utc()
{
    char text[32];
    time_t now = time(nullptr);
    tm utc;
    strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", gmtime_r(&now, &utc));
    return text;
}

void wake_link()
{
    uint64_t one = 1;
    [[maybe_unused]] ssize_t n = write(the.wake.get(), &one, sizeof one);
}

void touch_locked()
{
    the.sequence++;
    the.changed.notify_all();
}

void remove_files(const service_command& command)
{
    for (const std::string& file : {command.file, command.signature})
        if (!file.empty())
            unlink(file.c_str());
    if (command.name == "firmware" && !command.file.empty())
        unlink((command.file + ".minisig").c_str());
}

std::string event_text(const service_command& command)
{
    if (command.name == "game" || command.name == "system" || command.name == "image")
        return json_text(command.opt, command.name != "image");
    return command.opt.name;
}

// The command's end: its line in the log, its event's status, then whoever asked is told.
void finish(queued& item, int status, const std::string& reason)
{
    {
        std::lock_guard held(the.lock);
        for (service_event& event : the.recent)
            if (event.number == item.number) {
                event.status = status;
                event.reason = reason;
            }
        touch_locked();
    }
    printf("tavimoro-host serve: event %llu (%s) %s%s%s\n", static_cast<unsigned long long>(item.number),
           item.command.name.c_str(), status == 0 ? "done" : "failed", reason.empty() ? "" : ": ", reason.c_str());
    if (item.done)
        item.done(status, reason);
    item.done = nullptr;
    remove_files(item.command);
}

int run_state(const board_link& board, std::string& reason)
{
    int status = request(board, make_request(CMD_CONNECT_STATE), CMD_CONNECT_STATE, board.timeout_s, "state request");
    if (status < 0)
        return EXIT_LINK;
    reason = status == 1 ? "the board's USB link is configured" : "the board's USB link is not configured";
    return 0;
}

// The options as the command line would give them: the file, or update's image name, as its
// argument.
options command_options(const service_command& command)
{
    options opt = command.opt;
    if (!command.file.empty())
        opt.args = {command.file};
    if (command.name == "update" && !opt.name.empty())
        opt.args = {opt.name};
    return opt;
}

// Sends one command over the open link; the message that now shows in `shown` (for the game,
// the system or back).
int run_command(service_command& command, const board_link& board, std::string& shown, std::string& reason)
{
    options opt = command_options(command);
    if (command.name == "game" || command.name == "system" || command.name == "back") {
        if (command.name == "back") {
            std::lock_guard held(the.lock);
            shown = the.selection.empty() ? "{}" : the.selection;
        } else {
            shown = json_text(opt, true);
        }
        return send_message(board, shown);
    }
    if (command.name == "image")
        return command_image(opt, &board);
    if (command.name == "file")
        return command_send(opt, &board);
    if (command.name == "package")
        return command_package(opt, &board);
    if (command.name == "firmware") {
        // The transfer sends a signature that lies beside the image under the image's name.
        if (!command.signature.empty() && rename(command.signature.c_str(), (command.file + ".minisig").c_str()) == 0)
            command.signature.clear();
        return command_firmware(opt, &board);
    }
    if (command.name == "update")
        return command_update(opt, &board);
    return run_state(board, reason);
}

bool node_exists(const std::string& path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

// The link's thread: opens the link when there is reason to, sends what waits, oldest first,
// and otherwise waits for work, for the board coming or going, or for the link to drop.
class link_owner {
public:
    void run();

private:
    bool open();
    void close(const char* state);
    void link_failed();
    std::optional<queued> take_next();
    void send(queued& item);
    void wait();

    board_link board_;
    std::string device_;
    bool may_open_ = true;   // at start, then each time there is reason to look again
    bool restore_ = false;   // the link opened again: show again what was shown
    // A node that is there but does not open or answer yet (a board starting up) is tried a few
    // more times, each wait twice the last.
    int retries_left_ = 0;
    int retry_ms_ = 0;
};

constexpr int RETRIES = 6;
constexpr int FIRST_RETRY_MS = 100;

// Opens the link; when it cannot, whoever waits hears why (a show still goes out when the
// board comes, transfers are dropped).
bool link_owner::open()
{
    device_ = the.config.device;
    std::string reason;
    capture_failures(&reason);
    int result = device_.empty() ? find_link(the.config.serial, device_) : 0;
    if (result == 0)
        result = open_link(device_, board_);
    capture_failures(nullptr);
    command_done show_done;
    std::deque<queued> dropped;
    {
        std::lock_guard held(the.lock);
        if (result != 0 && retries_left_ == 0) {
            if (the.show) {
                show_done = std::move(the.show->done);
                the.show->done = nullptr;
            }
            dropped = std::move(the.transfers);
            the.transfers.clear();
        }
        the.board_present = result == 0 || (!device_.empty() && node_exists(device_));
        the.link = result == 0 ? "open" : the.board_present ? "closed" : "no board";
        touch_locked();
    }
    if (show_done)
        show_done(result, reason);
    for (queued& item : dropped)
        finish(item, result, reason);
    if (result == 0) {
        retries_left_ = 0;
        printf("tavimoro-host serve: link open on %s\n", device_.c_str());
    }
    return result == 0;
}

void link_owner::close(const char* state)
{
    board_.port.reset();
    printf("tavimoro-host serve: link closed\n");
    std::lock_guard held(the.lock);
    the.link = state;
    the.board_present = !device_.empty() && node_exists(device_);
    touch_locked();
}

// The link is tried again on new work, when the board comes back, or after a few short waits,
// never at once: a board that does not answer is not asked in a loop.
void link_owner::link_failed()
{
    close("closed");
    may_open_ = false;
    retries_left_ = RETRIES;
    retry_ms_ = FIRST_RETRY_MS;
}

// The oldest of the show and the first transfer.
std::optional<queued> link_owner::take_next()
{
    std::optional<queued> next;
    if (the.show && (the.transfers.empty() || the.show->number < the.transfers.front().number)) {
        next = std::move(the.show);
        the.show.reset();
    } else if (!the.transfers.empty()) {
        next = std::move(the.transfers.front());
        the.transfers.pop_front();
    }
    touch_locked();
    return next;
}

void link_owner::send(queued& item)
{
    std::string shown, reason;
    capture_failures(&reason);
    int status = run_command(item.command, board_, shown, reason);
    capture_failures(nullptr);
    if (status == EXIT_LINK) {
        // A show that did not reach the board goes out when the link is back, unless a newer one
        // came meanwhile; whoever asked hears of the failure now.
        link_failed();
        std::lock_guard held(the.lock);
        if (item.command.kind == command_kind::show && !the.show) {
            if (item.done)
                item.done(status, reason);
            item.done = nullptr;
            the.show = std::move(item);
            return;
        }
    }
    if (status == 0 && item.command.kind == command_kind::show) {
        restore_ = false;
        std::lock_guard held(the.lock);
        the.last_named = shown;
    }
    finish(item, status, reason);
}

void link_owner::wait()
{
    pollfd fds[2] = {{the.wake.get(), POLLIN, 0}, {board_.port ? port_descriptor(*board_.port) : -1, POLLIN, 0}};
    bool retry = !board_.port && retries_left_ > 0;
    int ready = poll(fds, 2, retry ? retry_ms_ : -1);
    if (ready == 0 && retry) {
        retries_left_--;
        retry_ms_ *= 2;
        may_open_ = true;
    }
    if (ready <= 0)
        return;
    if (fds[0].revents & POLLIN) {
        uint64_t count;
        [[maybe_unused]] ssize_t n = read(the.wake.get(), &count, sizeof count);
    }
    // Nothing is asked while idle: what comes is a late reply, or the end of the link.
    hid_report report;
    if ((fds[1].revents & (POLLIN | POLLHUP | POLLERR)) && read_report(*board_.port, report, 0) < 0)
        close("closed");
}

void link_owner::run()
{
    board_.timeout_s = the.config.timeout_s;
    for (;;) {
        std::unique_lock held(the.lock);
        if (the.stopping)
            return;
        if (the.look_again) {
            the.look_again = false;
            may_open_ = true;
            retries_left_ = RETRIES;
            retry_ms_ = FIRST_RETRY_MS;
        }
        bool work = the.show || !the.transfers.empty();
        if (!board_.port && may_open_) {
            held.unlock();
            may_open_ = false;
            // A board that comes back shows again what it showed, unless a show waits.
            restore_ = open() || restore_;
            continue;
        }
        if (the.show)
            restore_ = false;
        if (board_.port && restore_ && !the.last_named.empty()) {
            std::string shown = the.last_named;
            held.unlock();
            if (send_message(board_, shown) == EXIT_LINK)
                link_failed();
            else
                restore_ = false;
            continue;
        }
        if (board_.port && work) {
            std::optional<queued> next = take_next();
            held.unlock();
            send(*next);
            continue;
        }
        held.unlock();
        wait();
    }
}

link_owner owner;
std::string temp_dir;

} // namespace

int start_service(const service_config& config)
{
    init_crc32_table();
    the.config = config;
    temp_dir = config.temp_dir;
    if (temp_dir.empty()) {
        const char* base = getenv("TMPDIR");
        std::string pattern = std::string(base && *base ? base : "/var/tmp") + "/tavimoro-serve-XXXXXX";
        if (!mkdtemp(pattern.data()))
            return fail(-1, "cannot make a temporary folder under %s: %s", base ? base : "/var/tmp", strerror(errno));
        temp_dir = pattern;
    }
    the.wake = UniqueFD(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    if (!the.wake.valid())
        return fail(-1, "cannot make an eventfd: %s", strerror(errno));
    the.thread = std::thread([] { owner.run(); });
    return 0;
}

void stop_service()
{
    {
        std::lock_guard held(the.lock);
        the.stopping = true;
        the.changed.notify_all();
    }
    wake_link();
    if (the.thread.joinable())
        the.thread.join();
    std::deque<queued> left = std::move(the.transfers);
    if (the.show)
        left.push_back(std::move(*the.show));
    for (queued& item : left)
        finish(item, EXIT_LINK, "the service stopped");
    if (the.config.temp_dir.empty() && !temp_dir.empty()) {
        std::error_code ignored;
        std::filesystem::remove_all(temp_dir, ignored);
    }
}

namespace {

// The command's own check, as the command line makes it, before it waits for the link.
int check_command(const service_command& command)
{
    options opt = command_options(command);
    if (command.name == "game" || command.name == "system")
        return names_game_and_system(opt) ? fail(EXIT_USAGE, "name a game or a system, not both") : 0;
    if (command.name == "image")
        return check_image(opt);
    if (command.name == "file" || command.name == "package")
        return check_send(opt);
    if (command.name == "firmware")
        return check_firmware(opt);
    if (command.name == "update")
        return check_update(opt);
    return 0;
}

} // namespace

int submit_command(service_command command, const std::string& source, command_done done)
{
    std::string reason;
    capture_failures(&reason);
    int bad = check_command(command);
    capture_failures(nullptr);
    if (bad != 0) {
        remove_files(command);
        if (done)
            done(bad, reason);
        return SUBMIT_REFUSED;
    }
    std::optional<queued> overtaken;
    {
        std::lock_guard held(the.lock);
        if (the.stopping || (command.kind != command_kind::show && the.transfers.size() >= TRANSFER_QUEUE_MAX)) {
            remove_files(command);
            return SUBMIT_FULL;
        }
        queued item{std::move(command), the.next_number++, std::move(done)};
        the.recent.push_back({item.number, now_utc(), source, item.command.name, event_text(item.command), -1, ""});
        if (the.recent.size() > RECENT_EVENTS)
            the.recent.pop_front();
        if (item.command.opt.select)
            the.selection = json_text(item.command.opt, true);
        if (item.command.kind == command_kind::show) {
            overtaken = std::move(the.show);
            the.show = std::move(item);
        } else {
            the.transfers.push_back(std::move(item));
        }
        the.look_again = true;
        touch_locked();
    }
    wake_link();
    if (overtaken)
        finish(*overtaken, 0, OVERTAKEN);
    return SUBMIT_QUEUED;
}

service_state service_snapshot()
{
    std::lock_guard held(the.lock);
    service_state state;
    state.board_present = the.board_present;
    state.link = the.link;
    state.device = the.config.device;
    state.last_named = the.last_named;
    state.selection = the.selection;
    state.waiting_shows = the.show ? 1 : 0;
    state.waiting_transfers = the.transfers.size();
    state.sequence = the.sequence;
    state.recent.assign(the.recent.begin(), the.recent.end());
    return state;
}

uint64_t wait_service_change(uint64_t seen, int timeout_ms)
{
    std::unique_lock held(the.lock);
    the.changed.wait_for(held, std::chrono::milliseconds(timeout_ms),
                         [&] { return the.sequence != seen || the.stopping; });
    return the.sequence;
}

void board_may_have_changed()
{
    {
        std::lock_guard held(the.lock);
        the.look_again = true;
    }
    wake_link();
}

const std::string& service_temp_dir()
{
    return temp_dir;
}

int make_service_temp_file(std::string& path)
{
    path = temp_dir + "/upload-XXXXXX";
    return mkostemp(path.data(), O_CLOEXEC);
}
