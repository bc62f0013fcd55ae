// The service's link thread: the board's link kept open, opened again when the board comes back,
// and the commands waiting sent over it, oldest first.
#include "host/link/service_queue.h"

#include "host/link/event_message.h"

#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <utility>

namespace {

int run_state(const board_link& board, std::string& reason)
{
    int status = request(board, make_request(CMD_CONNECT_STATE), CMD_CONNECT_STATE, board.timeout_s, "state request");
    if (status < 0)
        return EXIT_LINK;
    reason = status == 1 ? "the board's USB link is configured" : "the board's USB link is not configured";
    return 0;
}

// Sends one command over the open link; the message that now shows in `shown` (for the game,
// the system or back).
int run_command(service_command& command, const board_link& board, std::string& shown, std::string& reason)
{
    options opt = command_options(command);
    if (command.name == "game" || command.name == "system" || command.name == "back") {
        if (command.name == "back") {
            std::lock_guard held(shared.lock);
            shown = shared.selection.empty() ? "{}" : shared.selection;
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
    device_ = shared.config.device;
    std::string reason;
    capture_failures(&reason);
    int result = device_.empty() ? find_link(shared.config.serial, device_) : 0;
    if (result == 0)
        result = open_link(device_, board_);
    capture_failures(nullptr);
    command_done show_done;
    std::deque<queued> dropped;
    {
        std::lock_guard held(shared.lock);
        if (result != 0 && retries_left_ == 0) {
            if (shared.show) {
                show_done = std::move(shared.show->done);
                shared.show->done = nullptr;
            }
            dropped = std::move(shared.transfers);
            shared.transfers.clear();
        }
        shared.board_present = result == 0 || (!device_.empty() && node_exists(device_));
        shared.link = result == 0 ? "open" : shared.board_present ? "closed" : "no board";
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
    std::lock_guard held(shared.lock);
    shared.link = state;
    shared.board_present = !device_.empty() && node_exists(device_);
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
    if (shared.show && (shared.transfers.empty() || shared.show->number < shared.transfers.front().number)) {
        next = std::move(shared.show);
        shared.show.reset();
    } else if (!shared.transfers.empty()) {
        next = std::move(shared.transfers.front());
        shared.transfers.pop_front();
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
        std::lock_guard held(shared.lock);
        if (item.command.kind == command_kind::show && !shared.show) {
            if (item.done)
                item.done(status, reason);
            item.done = nullptr;
            shared.show = std::move(item);
            return;
        }
    }
    if (status == 0 && item.command.kind == command_kind::show) {
        restore_ = false;
        std::lock_guard held(shared.lock);
        shared.last_named = shown;
    }
    finish(item, status, reason);
}

void link_owner::wait()
{
    pollfd fds[2] = {{shared.wake.get(), POLLIN, 0}, {board_.port ? port_descriptor(*board_.port) : -1, POLLIN, 0}};
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
        [[maybe_unused]] ssize_t n = read(shared.wake.get(), &count, sizeof count);
    }
    // Nothing is asked while idle: what comes is a late reply, or the end of the link.
    hid_report report;
    if ((fds[1].revents & (POLLIN | POLLHUP | POLLERR)) && read_report(*board_.port, report, 0) < 0)
        close("closed");
}

void link_owner::run()
{
    board_.timeout_s = shared.config.timeout_s;
    for (;;) {
        std::unique_lock held(shared.lock);
        if (shared.stopping)
            return;
        if (shared.look_again) {
            shared.look_again = false;
            may_open_ = true;
            retries_left_ = RETRIES;
            retry_ms_ = FIRST_RETRY_MS;
        }
        bool work = shared.show || !shared.transfers.empty();
        if (!board_.port && may_open_) {
            held.unlock();
            may_open_ = false;
            // A board that comes back shows again what it showed, unless a show waits.
            restore_ = open() || restore_;
            continue;
        }
        if (shared.show)
            restore_ = false;
        if (board_.port && restore_ && !shared.last_named.empty()) {
            std::string shown = shared.last_named;
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

} // namespace

void run_link()
{
    link_owner owner;
    owner.run();
}
