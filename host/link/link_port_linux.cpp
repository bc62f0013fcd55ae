// The link on Linux: the board's hidraw node, or the Unix socket of a simulated board.
#include "host/link/link_port.h"

#include "core/unique_fd.h"
#include "hostlink/report_socket.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

struct link_port {
    UniqueFD fd;
    bool hidraw = false;  // a write to a hidraw node starts with the report number
};

void close_port(link_port* port)
{
    delete port;
}

namespace {

// Hooks fire in quick succession, and two runs writing to one node at once would interleave
// their reports: runs on the same node take turns.
bool take_turn(int fd)
{
    int locked;
    do
        locked = flock(fd, LOCK_EX);
    while (locked != 0 && errno == EINTR);
    return locked == 0;
}

} // namespace

port_handle open_port(const std::string& path, bool& no_permission, std::string& why)
{
    port_handle port(new link_port);
    struct stat st;
    if (stat(path.c_str(), &st) == 0) {
        port->hidraw = !S_ISSOCK(st.st_mode);
        port->fd = port->hidraw ? UniqueFD(open(path.c_str(), O_RDWR | O_CLOEXEC)) : connect_report_socket(path);
    }
    no_permission = !port->fd.valid() && (errno == EACCES || errno == EPERM);
    if (!port->fd.valid()) {
        why = strerror(errno);
        return nullptr;
    }
    if (port->hidraw && !take_turn(port->fd.get())) {
        why = std::string("cannot lock it: ") + strerror(errno);
        return nullptr;
    }
    return port;
}

// A device without numbered reports takes report number 0 in front.
bool write_report(link_port& port, const hid_report& report)
{
    uint8_t buffer[REPORT_SIZE + 1] = {0};
    const uint8_t* data = report.data();
    size_t size = REPORT_SIZE;
    if (port.hidraw) {
        memcpy(buffer + 1, report.data(), REPORT_SIZE);
        data = buffer;
        size++;
    }
    ssize_t written;
    do
        written = port.hidraw ? write(port.fd.get(), data, size) : send(port.fd.get(), data, size, MSG_NOSIGNAL);
    while (written < 0 && errno == EINTR);
    return written == static_cast<ssize_t>(size);
}

int read_report(link_port& port, hid_report& report, int timeout_ms)
{
    pollfd waiting{port.fd.get(), POLLIN, 0};
    int ready;
    do
        ready = poll(&waiting, 1, timeout_ms);
    while (ready < 0 && errno == EINTR);
    if (ready <= 0)
        return ready;
    report.fill(0);
    return read(port.fd.get(), report.data(), report.size()) > 0 ? 1 : -1;
}

std::string last_port_error()
{
    return strerror(errno);
}

int port_descriptor(const link_port& port)
{
    return port.fd.get();
}
