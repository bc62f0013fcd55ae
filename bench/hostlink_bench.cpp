// Host-link throughput: one large file transfer through the real reader thread over the
// gadget-node socket, in reports per second and payload MB/s.
#include "hostlink/crc32.h"
#include "hostlink/hid_dev.h"
#include "hostlink/wire.h"
#include "sim/sim_board.h"

#include <SDL.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

namespace {

constexpr uint32_t DEFAULT_SIZE_MIB = 64;
constexpr int REPLY_TIMEOUT_MS = 120000;
constexpr double MB = 1e6;
// Lets the host run ahead of the reader, as the gadget driver queues what the USB host sent.
constexpr int HOST_SEND_BUFFER = 4 * 1024 * 1024;

using Clock = std::chrono::steady_clock;

int listen_at(const std::string& path)
{
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    snprintf(address.sun_path, sizeof address.sun_path, "%s", path.c_str());
    int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || listen(fd, 1) != 0)
        return -1;
    return fd;
}

// Status of the next reply to `command`, -1 when none comes.
int await_reply(int fd, uint8_t command)
{
    pollfd waiting{fd, POLLIN, 0};
    hid_report reply{};
    while (poll(&waiting, 1, REPLY_TIMEOUT_MS) == 1 && recv(fd, reply.data(), reply.size(), 0) > 0) {
        if (reply[OFFSET_COMMAND] == command)
            return reply[OFFSET_STATUS];
    }
    return -1;
}

bool send_report(int fd, const hid_report& report)
{
    return send(fd, report.data(), report.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(report.size());
}

double seconds_since(Clock::time_point start)
{
    return std::chrono::duration<double>(Clock::now() - start).count();
}

int run(const std::string& root, uint32_t size)
{
    std::vector<uint8_t> data(size);
    for (uint32_t i = 0; i < size; i++)
        data[i] = static_cast<uint8_t>(i * 2654435761u >> 24);
    init_crc32_table();
    uint32_t crc = crc32_calc(data.data(), size);

    int listener = listen_at(root + "/dev/hidg1");
    if (listener < 0 || start_hid_thread() != 0)
        return 1;
    int host = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    setsockopt(host, SOL_SOCKET, SO_SNDBUF, &HOST_SEND_BUFFER, sizeof HOST_SEND_BUFFER);
    uint32_t count = packet_count(size);
    if (!send_report(host, make_file_prepare(CMD_FILE_PREPARE, size, count, "bench.bin")) ||
        await_reply(host, CMD_FILE_PREPARE) != 0) {
        fprintf(stderr, "the prepare was refused\n");
        return 1;
    }
    Clock::time_point start = Clock::now();
    for (uint32_t id = 0; id < count; id++) {
        size_t at = size_t(id) * PAYLOAD_MAX;
        if (!send_report(host, make_data(CMD_FILE_DATA, id, data.data() + at, std::min<size_t>(PAYLOAD_MAX, size - at))))
            return 1;
    }
    // A request answered only after every report before it has been handled marks the end.
    send_report(host, make_message_prepare(0, 1, 0));
    int barrier = await_reply(host, CMD_MESSAGE_PREPARE);
    double data_seconds = seconds_since(start);
    start = Clock::now();
    send_report(host, make_verify(CMD_FILE_VERIFY, crc));
    int verified = await_reply(host, CMD_FILE_VERIFY);
    double verify_seconds = seconds_since(start);
    close(host);
    stop_hid_thread();
    close(listener);

    printf("transfer of %u bytes in %u reports: %.3f s, %.0f reports/s, %.2f MB/s payload\n", size, count,
           data_seconds, count / data_seconds, size / MB / data_seconds);
    printf("verify: %.3f s, %.2f MB/s read back\n", verify_seconds, size / MB / verify_seconds);
    if (barrier != 0 || verified != 0) {
        fprintf(stderr, "the transfer did not verify\n");
        return 1;
    }
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    setvbuf(stdout, nullptr, _IONBF, 0);
    uint32_t size_mib = argc > 1 ? static_cast<uint32_t>(atoi(argv[1])) : DEFAULT_SIZE_MIB;
    if (size_mib == 0 || size_mib > 4000) {
        fprintf(stderr, "usage: hostlink_bench [MiB, default %u]\n", DEFAULT_SIZE_MIB);
        return 2;
    }
    std::string root = (std::filesystem::temp_directory_path() / "tavimoro-bench-XXXXXX").string();
    if (!mkdtemp(root.data()) || prepare_board(root) != 0)
        return 1;
    setenv("TAVIMORO_ROOT", root.c_str(), 1);
    setenv("PATH", (root + "/sim/bin:" + getenv("PATH")).c_str(), 1);
    SDL_SetHint(SDL_HINT_NO_SIGNAL_HANDLERS, "1");
    SDL_Init(SDL_INIT_EVENTS);
    int result = run(root, size_mib * 1024 * 1024);
    SDL_Quit();
    std::filesystem::remove_all(root);
    return result;
}
