// Connection to a report socket, for the player's reader and for the host tool.
#include "hostlink/report_socket.h"

#include <sys/socket.h>
#include <sys/un.h>

#include <cstring>

UniqueFD connect_report_socket(const std::string& path)
{
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof address.sun_path)
        return UniqueFD();
    memcpy(address.sun_path, path.c_str(), path.size() + 1);
    UniqueFD fd(socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0));
    if (fd.valid() && connect(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
        fd.reset();
    return fd;
}
