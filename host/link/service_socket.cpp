// The service's local socket: one-shot commands arrive as one datagram with their files as
// descriptors; each file is copied into the service's own folder before the command is queued,
// and the answer goes back when the command is done (or at once, for one sent in the background).
#include "host/link/service_socket.h"

#include "core/unique_fd.h"
#include "host/link/service_core.h"

#include <cjson/cJSON.h>
#include <grp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <memory>
#include <thread>
#include <vector>

namespace {

constexpr size_t FILES_MAX = 2;
constexpr int REQUEST_TIMEOUT_S = 2;
// Far above any package or image a board takes; a file handed over is copied, never held.
constexpr off_t HANDED_FILE_MAX = 8LL * 1024 * 1024 * 1024;

UniqueFD listener, stop_event;
std::thread accepting;
std::string own_device, socket_path;

struct JsonDeleter {
    void operator()(cJSON* json) const { cJSON_Delete(json); }
};

void answer(int socket, int status, const std::string& reason)
{
    std::string text = std::to_string(status) + "\n" + reason;
    send(socket, text.data(), text.size(), MSG_NOSIGNAL);
}

// A copy of the handed file in the service's folder: its path, or "" when it cannot be made.
std::string copy_in(int fd)
{
    struct stat st;
    std::string path;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size > HANDED_FILE_MAX)
        return "";
    UniqueFD copy(make_service_temp_file(path));
    if (!copy.valid())
        return "";
    for (off_t at = 0; at < st.st_size;) {
        ssize_t n = sendfile(copy.get(), fd, &at, static_cast<size_t>(st.st_size - at));
        if (n <= 0) {
            unlink(path.c_str());
            return "";
        }
    }
    return path;
}

// One datagram: the request and up to two descriptors.
bool receive(int socket, std::string& text, std::vector<UniqueFD>& files)
{
    std::vector<char> data(SERVICE_COMMAND_MAX + 512);
    iovec part{data.data(), data.size()};
    alignas(cmsghdr) char control[CMSG_SPACE(FILES_MAX * sizeof(int))];
    msghdr message{};
    message.msg_iov = &part;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    ssize_t n = recvmsg(socket, &message, MSG_CMSG_CLOEXEC);
    for (cmsghdr* header = CMSG_FIRSTHDR(&message); n >= 0 && header; header = CMSG_NXTHDR(&message, header)) {
        if (header->cmsg_level != SOL_SOCKET || header->cmsg_type != SCM_RIGHTS)
            continue;
        for (size_t i = 0; i < (header->cmsg_len - CMSG_LEN(0)) / sizeof(int); i++) {
            int fd;
            memcpy(&fd, CMSG_DATA(header) + i * sizeof(int), sizeof fd);
            files.emplace_back(fd);
        }
    }
    if (n <= 0 || (message.msg_flags & (MSG_TRUNC | MSG_CTRUNC)))
        return false;
    text.assign(data.data(), static_cast<size_t>(n));
    return true;
}

const char* text_of(const cJSON* root, const char* key)
{
    const cJSON* item = cJSON_GetObjectItemCaseSensitive(root, key);
    return cJSON_IsString(item) ? item->valuestring : "";
}

void serve_one(UniqueFD connection)
{
    std::string text;
    std::vector<UniqueFD> files;
    if (!receive(connection.get(), text, files))
        return answer(connection.get(), EXIT_USAGE, "the request was malformed or too long");
    std::unique_ptr<cJSON, JsonDeleter> root(cJSON_ParseWithLength(text.data(), text.size()));
    std::string device = text_of(root.get(), "device");
    if (!device.empty() && !own_device.empty() && device != own_device)
        return answer(connection.get(), -1, "this service serves another board");
    std::unique_ptr<char, decltype(&free)> fields(
        cJSON_PrintUnformatted(cJSON_GetObjectItemCaseSensitive(root.get(), "fields")), free);
    service_command command;
    std::string why;
    if (!root || !fields || parse_service_command(text_of(root.get(), "command"), fields.get(), command, why) != 0)
        return answer(connection.get(), EXIT_USAGE, why.empty() ? "the request was malformed" : why);
    if (command.kind == command_kind::show && command.name != "image" && !files.empty())
        return answer(connection.get(), EXIT_USAGE, "this command takes no file");
    for (size_t i = 0; i < files.size(); i++) {
        std::string copy = copy_in(files[i].get());
        if (copy.empty())
            return answer(connection.get(), EXIT_USAGE, "the file handed over cannot be read or is too large");
        (i == 0 ? command.file : command.signature) = copy;
    }
    // A command sent in the background hears only of a refusal, which comes during submit.
    bool wait = cJSON_IsTrue(cJSON_GetObjectItemCaseSensitive(root.get(), "wait"));
    auto shared = std::make_shared<UniqueFD>(std::move(connection));
    auto submitting = std::make_shared<std::atomic<bool>>(true);
    command_done done = [shared, submitting, wait](int status, const std::string& reason) {
        if (wait || *submitting)
            answer(shared->get(), status, reason);
    };
    int submitted = submit_command(std::move(command), "socket", done);
    *submitting = false;
    if (submitted == SUBMIT_FULL)
        answer(shared->get(), EXIT_LINK, "the service's queue is full: try again later");
    else if (submitted == SUBMIT_QUEUED && !wait)
        answer(shared->get(), 0, "");
}

void accept_loop()
{
    for (;;) {
        pollfd fds[2] = {{listener.get(), POLLIN, 0}, {stop_event.get(), POLLIN, 0}};
        if (poll(fds, 2, -1) < 0 && errno != EINTR)
            return;
        if (fds[1].revents & POLLIN)
            return;
        if (fds[0].revents & POLLIN) {
            UniqueFD connection(accept4(listener.get(), nullptr, nullptr, SOCK_CLOEXEC));
            // One connection at a time: one that sends nothing must not hold the others.
            timeval patience{REQUEST_TIMEOUT_S, 0};
            if (connection.valid() &&
                setsockopt(connection.get(), SOL_SOCKET, SO_RCVTIMEO, &patience, sizeof patience) == 0)
                serve_one(std::move(connection));
        }
    }
}

// The hooks run as the owner's user, the service as its own: both reach the socket through the
// group the board's node belongs to.
void open_to_group(const std::string& path)
{
    if (const group* owners = getgrnam("tavimoro"))
        if (chown(path.c_str(), static_cast<uid_t>(-1), owners->gr_gid) != 0)
            fprintf(stderr, "tavimoro-host serve: cannot give %s to the tavimoro group: %s\n", path.c_str(),
                    strerror(errno));
    chmod(path.c_str(), 0660);
}

} // namespace

int start_service_socket(const std::string& device)
{
    own_device = device;
    socket_path = service_socket_path();
    sockaddr_un address{};
    if (socket_path.size() >= sizeof address.sun_path)
        return fail(-1, "the socket path %s is too long", socket_path.c_str());
    std::error_code ignored;
    std::filesystem::create_directories(std::filesystem::path(socket_path).parent_path(), ignored);
    address.sun_family = AF_UNIX;
    memcpy(address.sun_path, socket_path.c_str(), socket_path.size() + 1);
    // A socket that answers is another service's, which owns the link: this one does not start.
    // One that does not is left over from a service that ended without removing it.
    UniqueFD probe(socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0));
    if (probe.valid() && connect(probe.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) == 0)
        return fail(-1, "another tavimoro-host serve runs (its socket %s answers)", socket_path.c_str());
    unlink(socket_path.c_str());
    listener = UniqueFD(socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0));
    stop_event = UniqueFD(eventfd(0, EFD_CLOEXEC));
    if (!listener.valid() || !stop_event.valid() ||
        bind(listener.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        listen(listener.get(), 16) != 0)
        return fail(-1, "cannot listen at %s: %s", socket_path.c_str(), strerror(errno));
    open_to_group(socket_path);
    accepting = std::thread(accept_loop);
    return 0;
}

void stop_service_socket()
{
    uint64_t one = 1;
    if (stop_event.valid() && write(stop_event.get(), &one, sizeof one) < 0)
        perror("tavimoro-host serve: stopping the socket");
    if (accepting.joinable())
        accepting.join();
    if (listener.valid())
        unlink(socket_path.c_str());
    listener.reset();
}
