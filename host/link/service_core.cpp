// The service's core: the commands from every source checked and queued (a show replaces the show
// still waiting, transfers wait in a bounded queue), the link's thread started and stopped, and
// the state read whole by whoever shows it.
#include "host/link/service_queue.h"

#include "host/link/event_message.h"
#include "hostlink/crc32.h"

#include <fcntl.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>

service_shared shared;

namespace {

constexpr size_t RECENT_EVENTS = 20;
constexpr const char* OVERTAKEN = "a later event was raised before this one could be sent: nothing sent";

std::string now_utc()
{
    char text[32];
    time_t now = time(nullptr);
    tm utc;
    strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", gmtime_r(&now, &utc));
    return text;
}

std::string event_text(const service_command& command)
{
    if (command.name == "game" || command.name == "system" || command.name == "image")
        return json_text(command.opt, command.name != "image");
    return command.opt.name;
}

std::string temp_dir;

} // namespace

void wake_link()
{
    uint64_t one = 1;
    [[maybe_unused]] ssize_t n = write(shared.wake.get(), &one, sizeof one);
}

void touch_locked()
{
    shared.sequence++;
    shared.changed.notify_all();
}

void remove_files(const service_command& command)
{
    for (const std::string& file : {command.file, command.signature})
        if (!file.empty())
            unlink(file.c_str());
    if (command.name == "firmware" && !command.file.empty())
        unlink((command.file + ".minisig").c_str());
}

// The command's end: its line in the log, its event's status, then whoever asked is told.
void finish(queued& item, int status, const std::string& reason)
{
    {
        std::lock_guard held(shared.lock);
        for (service_event& event : shared.recent)
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

int start_service(const service_config& config)
{
    init_crc32_table();
    shared.config = config;
    temp_dir = config.temp_dir;
    if (temp_dir.empty()) {
        const char* base = getenv("TMPDIR");
        std::string pattern = std::string(base && *base ? base : "/var/tmp") + "/tavimoro-serve-XXXXXX";
        if (!mkdtemp(pattern.data()))
            return fail(-1, "cannot make a temporary folder under %s: %s", base ? base : "/var/tmp", strerror(errno));
        temp_dir = pattern;
    }
    shared.wake = UniqueFD(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    if (!shared.wake.valid())
        return fail(-1, "cannot make an eventfd: %s", strerror(errno));
    shared.thread = std::thread(run_link);
    return 0;
}

void stop_service()
{
    {
        std::lock_guard held(shared.lock);
        shared.stopping = true;
        shared.changed.notify_all();
    }
    wake_link();
    if (shared.thread.joinable())
        shared.thread.join();
    std::deque<queued> left = std::move(shared.transfers);
    if (shared.show)
        left.push_back(std::move(*shared.show));
    for (queued& item : left)
        finish(item, EXIT_LINK, "the service stopped");
    if (shared.config.temp_dir.empty() && !temp_dir.empty()) {
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
        std::lock_guard held(shared.lock);
        if (shared.stopping || (command.kind != command_kind::show && shared.transfers.size() >= TRANSFER_QUEUE_MAX)) {
            remove_files(command);
            return SUBMIT_FULL;
        }
        queued item{std::move(command), shared.next_number++, std::move(done)};
        shared.recent.push_back({item.number, now_utc(), source, item.command.name, event_text(item.command), -1, ""});
        if (shared.recent.size() > RECENT_EVENTS)
            shared.recent.pop_front();
        if (item.command.opt.select)
            shared.selection = json_text(item.command.opt, true);
        if (item.command.kind == command_kind::show) {
            overtaken = std::move(shared.show);
            shared.show = std::move(item);
        } else {
            shared.transfers.push_back(std::move(item));
        }
        shared.look_again = true;
        touch_locked();
    }
    wake_link();
    if (overtaken)
        finish(*overtaken, 0, OVERTAKEN);
    return SUBMIT_QUEUED;
}

service_state service_snapshot()
{
    std::lock_guard held(shared.lock);
    service_state state;
    state.board_present = shared.board_present;
    state.link = shared.link;
    state.device = shared.config.device;
    state.last_named = shared.last_named;
    state.selection = shared.selection;
    state.waiting_shows = shared.show ? 1 : 0;
    state.waiting_transfers = shared.transfers.size();
    state.sequence = shared.sequence;
    state.recent.assign(shared.recent.begin(), shared.recent.end());
    return state;
}

uint64_t wait_service_change(uint64_t seen, int timeout_ms)
{
    std::unique_lock held(shared.lock);
    shared.changed.wait_for(held, std::chrono::milliseconds(timeout_ms),
                         [&] { return shared.sequence != seen || shared.stopping; });
    return shared.sequence;
}

void board_may_have_changed()
{
    {
        std::lock_guard held(shared.lock);
        shared.look_again = true;
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
