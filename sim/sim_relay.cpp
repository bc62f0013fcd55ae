// Report relay between the player's side and the host's side of the simulated USB link.
#include "sim/sim_relay.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>

namespace {

constexpr size_t REPORT_SIZE = 64;

UniqueFD listen_at(const std::string& path)
{
    sockaddr_un address{};
    if (path.size() >= sizeof address.sun_path)
        return UniqueFD();
    address.sun_family = AF_UNIX;
    memcpy(address.sun_path, path.c_str(), path.size() + 1);
    unlink(path.c_str());
    UniqueFD fd(socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0));
    if (!fd.valid() || bind(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        listen(fd.get(), 1) != 0)
        return UniqueFD();
    return fd;
}

// Moves one report from `from` to `to` (dropped when nobody is there); false at end of stream.
bool relay_one(UniqueFD& from, UniqueFD& to)
{
    unsigned char report[REPORT_SIZE];
    ssize_t n = recv(from.get(), report, sizeof report, 0);
    if (n <= 0)
        return false;
    if (to.valid())
        send(to.get(), report, static_cast<size_t>(n), MSG_NOSIGNAL);
    return true;
}

} // namespace

int SimRelay::open(const std::string& gadget_path, const std::string& host_path)
{
    gadget_listener_ = listen_at(gadget_path);
    host_listener_ = listen_at(host_path);
    return gadget_listener_.valid() && host_listener_.valid() ? 0 : -1;
}

void SimRelay::unplug_host()
{
    host_.reset();
    host_listener_.reset();
}

int SimRelay::plug_host(const std::string& host_path)
{
    host_listener_ = listen_at(host_path);
    return host_listener_.valid() ? 0 : -1;
}

void SimRelay::step(int timeout_ms)
{
    pollfd fds[4] = {{gadget_listener_.get(), POLLIN, 0}, {host_listener_.get(), POLLIN, 0},
                     {gadget_.get(), POLLIN, 0}, {host_.get(), POLLIN, 0}};
    if (poll(fds, 4, timeout_ms) <= 0)
        return;
    if ((fds[2].revents & (POLLIN | POLLHUP)) && !relay_one(gadget_, host_))
        gadget_.reset();
    if ((fds[3].revents & (POLLIN | POLLHUP)) && !relay_one(host_, gadget_))
        host_.reset();
    // A new connection replaces the old one: the player restarted, or another host command runs.
    if (fds[0].revents & POLLIN)
        gadget_.reset(accept4(gadget_listener_.get(), nullptr, nullptr, SOCK_CLOEXEC));
    if (fds[1].revents & POLLIN)
        host_.reset(accept4(host_listener_.get(), nullptr, nullptr, SOCK_CLOEXEC));
}
