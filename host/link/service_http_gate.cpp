// The gate in front of the HTTP library. Debian 12's cpp-httplib (0.11.4) bounds each line of a
// request's header but not how many lines come, so a client that never ends its header would grow
// the service without bound. Every connection meets the gate first: it reads the request's head,
// at most HEAD_MAX bytes and within READ_TIMEOUT_S, refuses a longer one with 431, and only then
// relays the connection to the library, which listens on loopback and serves one request a
// connection, so that every request passes here.
#include "host/link/service_http.h"

#include "core/unique_fd.h"

#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>

namespace {

constexpr size_t HEAD_MAX = 16384;
constexpr int READ_TIMEOUT_MS = 5000;
// The library's workers and event streams together, with room for a few being refused.
constexpr int RELAYS_MAX = 32;
constexpr size_t RELAY_BLOCK = 65536;
// What is read and dropped after a refusal: at most this many blocks, each within the wait.
constexpr int DRAIN_WAITS = 256;
constexpr int DRAIN_WAIT_MS = 100;

struct gate {
    UniqueFD listener, stop_event;
    int inner_port = 0;
    std::thread accepting;
    std::mutex lock;
    std::condition_variable ended;
    int relays = 0;
};

gate the_gate;

// Waits until `fd` can be read, or the gate stops, or the time-out passes.
bool readable(int fd, int timeout_ms)
{
    pollfd fds[2] = {{fd, POLLIN, 0}, {the_gate.stop_event.get(), POLLIN, 0}};
    return poll(fds, 2, timeout_ms) > 0 && !(fds[1].revents & POLLIN) && fds[0].revents;
}

void refuse_long_head(int client)
{
    const std::string body = "{\"error\":\"the request's head is longer than " + std::to_string(HEAD_MAX) + " bytes\"}";
    std::string answer = "HTTP/1.1 431 Request Header Fields Too Large\r\nContent-Type: application/json\r\n"
                         "Connection: close\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
    send(client, answer.data(), answer.size(), MSG_NOSIGNAL);
    // Closed with the rest of its head unread, the connection would be reset, and the answer lost
    // with it: what still comes is read and dropped for a moment first.
    shutdown(client, SHUT_WR);
    char drop[4096];
    for (int waits = 0; waits < DRAIN_WAITS && readable(client, DRAIN_WAIT_MS) && recv(client, drop, sizeof drop, 0) > 0;)
        waits++;
}

UniqueFD connect_inner()
{
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<uint16_t>(the_gate.inner_port));
    UniqueFD fd(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (fd.valid() && connect(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
        fd.reset();
    return fd;
}

bool send_all(int fd, const char* data, size_t size)
{
    while (size > 0) {
        ssize_t n = send(fd, data, size, MSG_NOSIGNAL);
        if (n <= 0)
            return false;
        data += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

// Both ways until either side is done: the library closes once it has answered.
void relay(int client, int inner)
{
    std::string block(RELAY_BLOCK, '\0');
    for (;;) {
        pollfd fds[3] = {{client, POLLIN, 0}, {inner, POLLIN, 0}, {the_gate.stop_event.get(), POLLIN, 0}};
        if (poll(fds, 3, -1) <= 0 || (fds[2].revents & POLLIN))
            return;
        for (int from = 0; from < 2; from++) {
            if (!fds[from].revents)
                continue;
            ssize_t n = recv(fds[from].fd, block.data(), block.size(), 0);
            if (n <= 0 || !send_all(fds[1 - from].fd, block.data(), static_cast<size_t>(n)))
                return;
        }
    }
}

void serve_connection(UniqueFD client)
{
    std::string head;
    char block[4096];
    while (head.find("\r\n\r\n") == std::string::npos) {
        if (head.size() > HEAD_MAX)
            return refuse_long_head(client.get());
        ssize_t n = readable(client.get(), READ_TIMEOUT_MS) ? recv(client.get(), block, sizeof block, 0) : -1;
        if (n <= 0)
            return;
        head.append(block, static_cast<size_t>(n));
    }
    if (head.find("\r\n\r\n") > HEAD_MAX)
        return refuse_long_head(client.get());
    UniqueFD inner = connect_inner();
    if (inner.valid() && send_all(inner.get(), head.data(), head.size()))
        relay(client.get(), inner.get());
}

void accept_loop()
{
    for (;;) {
        if (!readable(the_gate.listener.get(), -1))
            return;
        UniqueFD client(accept4(the_gate.listener.get(), nullptr, nullptr, SOCK_CLOEXEC));
        if (!client.valid())
            continue;
        std::lock_guard held(the_gate.lock);
        if (the_gate.relays >= RELAYS_MAX)
            continue;  // closed unanswered: the service is as busy as it lets itself be
        the_gate.relays++;
        std::thread([connection = std::move(client)]() mutable {
            serve_connection(std::move(connection));
            std::lock_guard done(the_gate.lock);
            the_gate.relays--;
            the_gate.ended.notify_all();
        }).detach();
    }
}

UniqueFD listen_at(const std::string& host, int port)
{
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
    addrinfo* found = nullptr;
    if (getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found) != 0)
        return UniqueFD();
    UniqueFD fd;
    for (addrinfo* at = found; at && !fd.valid(); at = at->ai_next) {
        fd = UniqueFD(socket(at->ai_family, at->ai_socktype | SOCK_CLOEXEC, at->ai_protocol));
        int yes = 1;
        // A quick restart may take the port again; the port is never shared (no SO_REUSEPORT).
        if (fd.valid() && (setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes) != 0 ||
                           bind(fd.get(), at->ai_addr, at->ai_addrlen) != 0 || listen(fd.get(), 16) != 0))
            fd.reset();
    }
    freeaddrinfo(found);
    return fd;
}

} // namespace

int start_http_gate(const std::string& host, int port, int inner_port)
{
    the_gate.inner_port = inner_port;
    the_gate.stop_event = UniqueFD(eventfd(0, EFD_CLOEXEC));
    the_gate.listener = listen_at(host, port);
    if (!the_gate.listener.valid() || !the_gate.stop_event.valid())
        return -1;
    the_gate.accepting = std::thread(accept_loop);
    return 0;
}

void stop_http_gate()
{
    uint64_t one = 1;
    if (the_gate.stop_event.valid() && write(the_gate.stop_event.get(), &one, sizeof one) < 0)
        perror("tavimoro-host serve: stopping the HTTP gate");
    if (the_gate.accepting.joinable())
        the_gate.accepting.join();
    std::unique_lock held(the_gate.lock);
    the_gate.ended.wait(held, [] { return the_gate.relays == 0; });
    the_gate.listener.reset();
}
