// The host side of the link in tests: a socket at the gadget node, the reader thread, and the
// events it pushes.
#include "tests/hostlink/link_harness.h"

#include "core/events.h"
#include "hostlink/crc32.h"
#include "hostlink/hid_dev.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <cstdlib>
#include <cstring>

namespace hostlink_test {

UniqueFD listen_socket(const std::string& path)
{
    UniqueFD fd(socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0));
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (!fd.valid() || path.size() >= sizeof address.sun_path)
        return UniqueFD();
    memcpy(address.sun_path, path.c_str(), path.size() + 1);
    unlink(path.c_str());
    if (bind(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || listen(fd.get(), 4) != 0)
        return UniqueFD();
    return fd;
}

UniqueFD accept_within(int listener, std::chrono::milliseconds timeout)
{
    pollfd waiting{listener, POLLIN, 0};
    if (poll(&waiting, 1, static_cast<int>(timeout.count())) != 1)
        return UniqueFD();
    return UniqueFD(accept4(listener, nullptr, nullptr, SOCK_CLOEXEC));
}

std::string pattern(size_t size, unsigned seed)
{
    std::string data(size, '\0');
    uint32_t state = seed * 2654435761u + 1;
    for (char& c : data) {
        state = state * 1103515245u + 12345u;
        c = static_cast<char>(state >> 24);
    }
    return data;
}

void HostLinkTest::SetUp()
{
    BoardRootTest::SetUp();
    SDL_SetHint(SDL_HINT_NO_SIGNAL_HANDLERS, "1");
    ASSERT_EQ(SDL_Init(SDL_INIT_EVENTS), 0) << SDL_GetError();
    SDL_FlushEvents(SDL_FIRSTEVENT, SDL_LASTEVENT);
    make_dir("/dev");
    attach_link();
}

void HostLinkTest::attach_link()
{
    listener_ = listen_socket(path("/dev/hidg1"));
    ASSERT_TRUE(listener_.valid());
    ASSERT_EQ(start_hid_thread(), 0);
    peer_ = accept_within(listener_.get(), REPLY_TIMEOUT);
    ASSERT_TRUE(peer_.valid()) << "the reader did not connect to the gadget node";
}

void HostLinkTest::TearDown()
{
    peer_.reset();
    stop_hid_thread();
    events();
    for (const SDL_Event& event : events_) {
        if (event.type == static_cast<Uint32>(EVENT_BANNER_INFO))
            free(event.user.data1);
        if (event.type == static_cast<Uint32>(EVENT_SHOW_IMAGE)) {
            free(event.user.data1);
            free(event.user.data2);
        }
    }
    SDL_Quit();
    BoardRootTest::TearDown();
}

void HostLinkTest::send(const hid_report& report)
{
    ASSERT_EQ(::send(peer_.get(), report.data(), report.size(), MSG_NOSIGNAL), static_cast<ssize_t>(report.size()));
}

std::optional<hid_report> HostLinkTest::receive(std::chrono::milliseconds timeout)
{
    pollfd waiting{peer_.get(), POLLIN, 0};
    if (poll(&waiting, 1, static_cast<int>(timeout.count())) != 1)
        return std::nullopt;
    hid_report report{};
    if (recv(peer_.get(), report.data(), report.size(), 0) != static_cast<ssize_t>(report.size()))
        return std::nullopt;
    return report;
}

int HostLinkTest::reply_status(uint8_t command, std::chrono::milliseconds timeout)
{
    std::optional<hid_report> reply = receive(timeout);
    if (!reply)
        return -1;
    EXPECT_EQ((*reply)[OFFSET_COMMAND], command);
    EXPECT_EQ((*reply)[OFFSET_LENGTH], 1);
    return (*reply)[OFFSET_STATUS];
}

int HostLinkTest::prepare(uint8_t command, uint32_t size, uint32_t count, const std::string& name)
{
    send(make_file_prepare(command, size, count, name));
    return reply_status(command);
}

void HostLinkTest::send_payload(uint8_t command, const std::string& data)
{
    for (size_t at = 0, id = 0; at < data.size(); at += PAYLOAD_MAX, id++)
        send(make_data(command, static_cast<uint32_t>(id), data.data() + at, std::min(PAYLOAD_MAX, data.size() - at)));
}

int HostLinkTest::transfer(uint8_t prepare_command, const std::string& name, const std::string& data)
{
    uint32_t size = static_cast<uint32_t>(data.size());
    int status = prepare(prepare_command, size, packet_count(size), name);
    EXPECT_EQ(status, 0) << "prepare refused";
    if (status != 0)
        return -1;
    send_payload(prepare_command + 1, data);
    send(make_verify(prepare_command + 2, crc32_calc(data.data(), data.size())));
    return reply_status(prepare_command + 2);
}

const std::vector<SDL_Event>& HostLinkTest::events()
{
    SDL_Event event;
    while (SDL_PollEvent(&event))
        events_.push_back(event);
    return events_;
}

bool HostLinkTest::wait_events(size_t count, std::chrono::milliseconds timeout)
{
    return board_test::wait_until([&] { return events().size() >= count; }, timeout);
}

std::vector<int> HostLinkTest::event_types()
{
    std::vector<int> types;
    for (const SDL_Event& event : events())
        types.push_back(static_cast<int>(event.type));
    return types;
}

} // namespace hostlink_test
