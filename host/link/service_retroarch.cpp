// RetroArch on its own, through its network commands (network_cmd_enable, UDP port 55355): once a
// second the service asks GET_STATUS and names the content when it changes, so that games
// started without any frontend reach the band. RetroArch answers (command_get_status() in
// command.c) "GET_STATUS CONTENTLESS" with nothing loaded, else
// "GET_STATUS PLAYING|PAUSED SYSTEM_ID,CONTENT_NAME,crc32=HEX\n", the content's name being its
// file's name without the folder or the extension.
#include "host/link/service_options.h"

#include <cjson/cJSON.h>
#include <netdb.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <thread>

namespace {

constexpr auto POLL_INTERVAL = std::chrono::seconds(1);
// A reply is a line; RetroArch's own buffer for it is 4096 bytes.
constexpr size_t REPLY_MAX = 4096;
constexpr const char* REQUEST = "GET_STATUS";

struct descriptor {
    int fd = -1;
    descriptor() = default;
    descriptor(const descriptor&) = delete;
    descriptor& operator=(const descriptor&) = delete;
    ~descriptor()
    {
        if (fd >= 0)
            close(fd);
    }
};

struct watcher {
    descriptor socket, stop;
    std::thread thread;
};

std::unique_ptr<watcher> running;

// The game command's JSON fields for `reply` when it names content other than `named` (which it
// then becomes): 0, or -1 when there is nothing new to name.
int retroarch_status_command(const std::string& reply, std::string& named, std::string& json)
{
    std::string line = reply.substr(0, reply.find('\n'));
    if (line == "GET_STATUS CONTENTLESS") {
        // Nothing to name; the same content started again is named again.
        named.clear();
        return -1;
    }
    std::string details;
    for (const char* state : {"GET_STATUS PLAYING ", "GET_STATUS PAUSED "})
        if (line.rfind(state, 0) == 0)
            details = line.substr(strlen(state));
    // The system's id has no comma; the content's name may.
    size_t comma = details.find(','), crc = details.rfind(",crc32=");
    if (comma == std::string::npos || crc == std::string::npos || crc <= comma)
        return -1;
    std::string content = details.substr(comma + 1, crc - comma - 1);
    if (content.empty() || content == named)
        return -1;
    named = content;
    // As a hook names a ROM by its path; the name has no extension left, and a final dot keeps a
    // dot inside it ("Dr. Mario") from being taken for one.
    std::unique_ptr<cJSON, decltype(&cJSON_Delete)> fields(cJSON_CreateObject(), cJSON_Delete);
    cJSON_AddStringToObject(fields.get(), "rom", (content + ".").c_str());
    char* text = cJSON_PrintUnformatted(fields.get());
    json = text ? text : "";
    cJSON_free(text);
    return json.empty() ? -1 : 0;
}

void name_content(const char* reply, std::string& named)
{
    std::string json, why;
    service_command command;
    if (retroarch_status_command(reply, named, json) != 0)
        return;
    if (parse_service_command("game", json, command, why) != 0) {
        fprintf(stderr, "tavimoro-host serve: RetroArch's content: %s\n", why.c_str());
        return;
    }
    submit_command(std::move(command), "retroarch");
}

// Asks once a second, and waits for the answer or the stop until the next time.
void watch(watcher& part)
{
    std::string named;
    char reply[REPLY_MAX + 1];
    while (true) {
        auto next = std::chrono::steady_clock::now() + POLL_INTERVAL;
        send(part.socket.fd, REQUEST, strlen(REQUEST), MSG_NOSIGNAL);
        bool answered = false;
        for (auto now = std::chrono::steady_clock::now(); now < next; now = std::chrono::steady_clock::now()) {
            pollfd fds[2] = {{part.stop.fd, POLLIN, 0}, {answered ? -1 : part.socket.fd, POLLIN, 0}};
            int wait_ms = static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(next - now).count());
            if (poll(fds, 2, wait_ms) < 0 && errno != EINTR)
                return;
            if (fds[0].revents)
                return;
            if (fds[1].revents) {
                // Nobody on the port makes the socket's error ECONNREFUSED, which recv takes.
                ssize_t size = recv(part.socket.fd, reply, REPLY_MAX, MSG_DONTWAIT);
                answered = true;
                if (size > 0) {
                    reply[size] = '\0';
                    name_content(reply, named);
                }
            }
        }
    }
}

int open_socket(const std::string& host, int port, descriptor& socket_fd)
{
    addrinfo hints{};
    hints.ai_socktype = SOCK_DGRAM;
    addrinfo* found = nullptr;
    int rc = getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found);
    if (rc != 0) {
        fprintf(stderr, "tavimoro-host serve: RetroArch's host %s: %s\n", host.c_str(), gai_strerror(rc));
        return -1;
    }
    std::unique_ptr<addrinfo, decltype(&freeaddrinfo)> addresses(found, freeaddrinfo);
    for (addrinfo* address = found; address; address = address->ai_next) {
        socket_fd.fd = socket(address->ai_family, address->ai_socktype | SOCK_CLOEXEC, address->ai_protocol);
        if (socket_fd.fd >= 0 && connect(socket_fd.fd, address->ai_addr, address->ai_addrlen) == 0)
            return 0;
        if (socket_fd.fd >= 0)
            close(socket_fd.fd);
        socket_fd.fd = -1;
    }
    fprintf(stderr, "tavimoro-host serve: no socket to RetroArch at %s:%d: %s\n", host.c_str(), port, strerror(errno));
    return -1;
}

} // namespace

int start_retroarch(const service_options& options)
{
    if (!options.retroarch)
        return 0;
    auto part = std::make_unique<watcher>();
    part->stop.fd = eventfd(0, EFD_CLOEXEC);
    if (part->stop.fd < 0 || open_socket(options.retroarch_host, options.retroarch_port, part->socket) != 0)
        return -1;
    part->thread = std::thread(watch, std::ref(*part));
    running = std::move(part);
    return 0;
}

void stop_retroarch()
{
    if (!running)
        return;
    uint64_t one = 1;
    if (write(running->stop.fd, &one, sizeof one) != static_cast<ssize_t>(sizeof one))
        perror("tavimoro-host serve: stopping RetroArch's watch");
    running->thread.join();
    running.reset();
}
