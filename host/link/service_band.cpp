// The band as the board shows it now, for the live page: drawn by the kit's own preview
// (tavimoro-media preview) from the product folder the service was given and the last game named.
// The kit is started with fixed arguments, never through a shell; its picture goes to the
// service's own folder.
#include "host/link/service_http.h"

#include "core/unique_fd.h"
#include "host/common/lookup_keys.h"

#include <cjson/cJSON.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fstream>
#include <iterator>
#include <mutex>

extern char** environ;

namespace {

// The kit draws a band in well under a second; one that hangs is ended.
constexpr int PREVIEW_TIMEOUT_MS = 20000;
// What is kept of the kit's messages, as the reason when it fails.
constexpr size_t MESSAGE_MAX = 2048;

// One picture is kept, for the game it shows: the page asks again on every change of the state.
std::mutex preview_lock;
std::string drawn_for, drawn;

std::string json_field(const cJSON* object, const char* name)
{
    const cJSON* item = cJSON_GetObjectItemCaseSensitive(object, name);
    return cJSON_IsString(item) ? item->valuestring : "";
}

// The kit's messages until it ends (or the time is up: then it is killed); its exit status, or -1.
int wait_for_kit(pid_t pid, int messages, std::string& said)
{
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(PREVIEW_TIMEOUT_MS);
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        pollfd watch{messages, POLLIN, 0};
        int ready = left.count() > 0 ? poll(&watch, 1, int(left.count())) : 0;
        if (ready < 0 && errno == EINTR)
            continue;
        char chunk[512];
        ssize_t n = ready > 0 ? read(messages, chunk, sizeof chunk) : -1;
        if (n > 0) {
            said.append(chunk, size_t(n)).resize(std::min(said.size(), MESSAGE_MAX));
            continue;
        }
        // The end of its messages is its end; a time-out or an error ends it.
        if (n != 0)
            kill(pid, SIGKILL);
        int status = 0;
        while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
        if (n != 0)
            said = "the kit's preview did not finish in time";
        return n == 0 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
}

// Runs `tavimoro-media preview`; 0 with the picture at `output`, or -1 with the reason.
int run_preview(const std::string& tool, const std::vector<std::string>& args, std::string& reason)
{
    int pipe_ends[2];
    if (pipe2(pipe_ends, O_CLOEXEC) != 0) {
        reason = "the service cannot start the kit";
        return -1;
    }
    UniqueFD messages(pipe_ends[0]), their_end(pipe_ends[1]);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, their_end.get(), STDERR_FILENO);
    std::vector<char*> argv{const_cast<char*>(tool.c_str())};
    for (const std::string& arg : args)
        argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    pid_t pid = 0;
    int failed = posix_spawn(&pid, tool.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    their_end.reset();
    if (failed != 0) {
        reason = "the kit " + tool + " cannot be started: " + strerror(failed);
        return -1;
    }
    std::string said;
    int status = wait_for_kit(pid, messages.get(), said);
    if (status == 0)
        return 0;
    while (!said.empty() && (said.back() == '\n' || said.back() == ' '))
        said.pop_back();
    reason = said.empty() ? "the kit's preview failed" : said;
    return -1;
}

// A picture pushed to the board is shown until something is named again.
bool pushed_last(const service_state& state)
{
    for (auto event = state.recent.rbegin(); event != state.recent.rend(); ++event)
        if (event->status == 0 && (event->command == "game" || event->command == "system" ||
                                   event->command == "back" || event->command == "image"))
            return event->command == "image";
    return false;
}

// The preview's arguments for what was last named, or the reason there are none.
int preview_args(const service_options& options, const service_state& state, std::vector<std::string>& args,
                 std::string& reason)
{
    if (options.product.empty())
        reason = "the service was not given the board's product folder (--product)";
    else if (options.media_tool.empty())
        reason = "the media kit (tavimoro-media) is not installed beside the service";
    else if (state.last_named.empty())
        reason = pushed_last(state) ? "the board shows a picture pushed to it, which the kit does not draw"
                                    : "nothing was named since the service started";
    if (!reason.empty())
        return -1;
    cJSON* named = cJSON_Parse(state.last_named.c_str());
    std::string romname = json_field(named, "romname"), title = json_field(named, "title");
    std::string leaderboard = json_field(named, "leaderboard");
    cJSON_Delete(named);
    if (romname.empty() || romname[0] == SYSTEM_KEY_PREFIX) {
        reason = "the preview draws games, and a system was named last";
        return -1;
    }
    // The kit takes the ROM's path and drops its last extension: the empty one after the dot
    // leaves the name whole ("Dr. Mario" stays itself).
    args = {"preview", "--disk", options.product, "--rom", romname + ".", "--title", title};
    if (!leaderboard.empty())
        args.insert(args.end(), {"--leaderboard", leaderboard});
    return 0;
}

} // namespace

int band_picture(const service_options& options, std::string& png, std::string& reason)
{
    service_state state = service_snapshot();
    const std::string& last_named = state.last_named;
    std::vector<std::string> args;
    if (preview_args(options, state, args, reason) != 0)
        return -1;
    // One preview at a time: a page reloaded in a loop never starts more.
    std::lock_guard<std::mutex> hold(preview_lock);
    if (drawn_for == last_named && !drawn.empty()) {
        png = drawn;
        return 0;
    }
    std::string output;
    UniqueFD file(make_service_temp_file(output));
    if (!file.valid()) {
        reason = "the service cannot make a file for the picture";
        return -1;
    }
    args.insert(args.end(), {"--output", output});
    int drew = run_preview(options.media_tool, args, reason);
    std::ifstream picture(output, std::ios::binary);
    png.assign(std::istreambuf_iterator<char>(picture), std::istreambuf_iterator<char>());
    unlink(output.c_str());
    if (drew != 0)
        return -1;
    if (png.empty()) {
        reason = "the kit's preview wrote no picture";
        return -1;
    }
    drawn_for = last_named;
    drawn = png;
    return 0;
}
