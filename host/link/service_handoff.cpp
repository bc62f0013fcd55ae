// One-shot tavimoro-host commands handed to the service: the command and its fields as one
// datagram, its files as descriptors beside it, and the service's answer.
#include "host/link/service_socket.h"

#include "core/unique_fd.h"
#include "host/link/event_message.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

constexpr size_t ANSWER_MAX = 2048;

std::string base_name(const std::string& path)
{
    size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// The service's command and its fields for what the command line asked.
std::string request_json(const std::string& name, const options& opt, bool wait)
{
    std::string command = name == "info" ? (opt.system.empty() ? "game" : "system") : name == "send" ? "file" : name;
    std::vector<std::pair<const char*, std::string>> texts;
    if (command == "game")
        texts = {{"title", opt.title}, {"title2", opt.title2}, {"romname", opt.romname},
                 {"leaderboard", opt.leaderboard}, {"type", opt.type}};
    else if (command == "system")
        texts = {{"system", opt.system}, {"title", opt.title}, {"leaderboard", opt.leaderboard}};
    else if (command == "image")
        texts = {{"title", opt.title}, {"romname", opt.romname}, {"leaderboard", opt.leaderboard}, {"name", opt.name}};
    else if (command == "file" || command == "package")
        texts = {{"name", opt.name.empty() ? base_name(opt.args[0]) : opt.name}};
    else if (command == "firmware")
        texts = {{"name", opt.name}};
    else if (command == "update")
        texts = {{"name", opt.args.empty() ? "" : opt.args[0]}};
    std::string fields;
    for (const auto& [key, value] : texts)
        if (!value.empty())
            fields += (fields.empty() ? "\"" : ",\"") + std::string(key) + "\":" + json_string(value);
    if ((command == "game" || command == "system") && opt.select)
        fields += fields.empty() ? "\"select\":true" : ",\"select\":true";
    if (command == "image" && opt.as_is)
        fields += fields.empty() ? "\"as_is\":true" : ",\"as_is\":true";
    return "{\"command\":" + json_string(command) + ",\"device\":" + json_string(opt.device) +
           ",\"wait\":" + (wait ? "true" : "false") + ",\"fields\":{" + fields + "}}";
}

// The files that go with the command: its argument, and a firmware image's signature beside it.
std::vector<UniqueFD> request_files(const std::string& name, const options& opt, bool& unreadable)
{
    std::vector<UniqueFD> files;
    unreadable = false;
    if (name != "image" && name != "send" && name != "package" && name != "firmware")
        return files;
    files.emplace_back(open(opt.args[0].c_str(), O_RDONLY | O_CLOEXEC));
    unreadable = !files.back().valid();
    if (name == "firmware") {
        UniqueFD signature(open((opt.args[0] + ".minisig").c_str(), O_RDONLY | O_CLOEXEC));
        if (signature.valid())
            files.push_back(std::move(signature));
    }
    return files;
}

UniqueFD connect_service()
{
    std::string path = service_socket_path();
    sockaddr_un address{};
    if (path.size() >= sizeof address.sun_path) {
        errno = ENOENT;  // no service can listen there
        return UniqueFD();
    }
    address.sun_family = AF_UNIX;
    memcpy(address.sun_path, path.c_str(), path.size() + 1);
    UniqueFD fd(socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0));
    if (fd.valid() && connect(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        int error = errno;
        fd.reset();
        errno = error;
    }
    return fd;
}

bool send_request(int socket, const std::string& text, const std::vector<UniqueFD>& files)
{
    iovec data{const_cast<char*>(text.data()), text.size()};
    msghdr message{};
    message.msg_iov = &data;
    message.msg_iovlen = 1;
    alignas(cmsghdr) char control[CMSG_SPACE(2 * sizeof(int))] = {};
    if (!files.empty()) {
        message.msg_control = control;
        message.msg_controllen = CMSG_SPACE(files.size() * sizeof(int));
        cmsghdr* header = CMSG_FIRSTHDR(&message);
        header->cmsg_level = SOL_SOCKET;
        header->cmsg_type = SCM_RIGHTS;
        header->cmsg_len = CMSG_LEN(files.size() * sizeof(int));
        for (size_t i = 0; i < files.size(); i++) {
            int fd = files[i].get();
            memcpy(CMSG_DATA(header) + i * sizeof(int), &fd, sizeof fd);
        }
    }
    return sendmsg(socket, &message, MSG_NOSIGNAL) == static_cast<ssize_t>(text.size());
}

} // namespace

std::string service_socket_path()
{
    const char* path = getenv("TAVIMORO_SERVICE_SOCKET");
    return path && *path ? path : host_root() + "/run/tavimoro/host.sock";
}

int hand_to_service(const std::string& name, const options& opt, bool& handed)
{
    handed = false;
    UniqueFD service = connect_service();
    // No socket, or none listening: no service runs. One that runs but that this user may not
    // reach holds the board's node all the same, so the command cannot go on by itself.
    if (!service.valid() && errno != ENOENT && errno != ECONNREFUSED && errno != ENOTDIR) {
        handed = true;
        return fail(EXIT_LINK, "the host service runs, but %s cannot be reached (%s): join the tavimoro group",
                    service_socket_path().c_str(), strerror(errno));
    }
    if (!service.valid())
        return 0;
    bool unreadable;
    std::vector<UniqueFD> files = request_files(name, opt, unreadable);
    if (unreadable)
        return 0;  // the command's own check says why
    if (!send_request(service.get(), request_json(name, opt, !opt.background), files))
        return 0;
    // The answer: the exit status on the first line, the reason after it; "-" when the service
    // serves another board.
    char answer[ANSWER_MAX + 1];
    ssize_t n;
    do
        n = recv(service.get(), answer, ANSWER_MAX, 0);
    while (n < 0 && errno == EINTR);
    if (n > 0 && answer[0] == '-')
        return 0;
    handed = true;
    if (n <= 0)
        return fail(EXIT_LINK, "the service ended before it answered");
    answer[n] = '\0';
    char* reason = strchr(answer, '\n');
    int status = atoi(answer);
    // What state is asked for is printed even when quiet, as the command itself prints it.
    if (reason && reason[1] && status == 0)
        name == "state" ? (void)printf("%s\n", reason + 1) : say("%s\n", reason + 1);
    else if (reason && reason[1])
        fail(status, "%s", reason + 1);
    return status;
}

int run_service(char** argv)
{
    std::error_code error;
    std::filesystem::path tool = std::filesystem::read_symlink("/proc/self/exe", error);
    std::string program = (tool.parent_path() / TAVIMORO_SERVICE_PROGRAM).lexically_normal();
    argv[0] = program.data();
    execv(program.c_str(), argv);
    return fail(EXIT_USAGE, "cannot run the service's program %s: %s", program.c_str(), strerror(errno));
}
