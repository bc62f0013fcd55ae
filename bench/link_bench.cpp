// The host link kept full: `tavimoro-host send` of 1 and 16 MiB over a simulated link paced as USB
// paces an interrupt endpoint. The link moves at most one host report per interval, and the board
// side holds only a few unread reports, as f_hid does; a report that finds no room waits for the
// next interval, as a NAK makes it. Measured against a board that only drains the link (raw),
// the real player showing a still picture, and the real player while its video plays; prints
// reports/s and payload kB/s beside the interval's limit, the share of the raw rate, and whether
// the file arrived whole. Last, `tavimoro-host image` of a typical scraped marquee (a 1600x400 PNG)
// from the command to the picture on the screen, sent as it is and fitted. The machine's load is
// printed with each figure.
#include "hostlink/wire.h"
#include "sim/sample_media.h"
#include "sim/screen_capture.h"
#include "sim/sim_board.h"

#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <thread>

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

// High speed's shortest interrupt interval: 8000 reports a second.
constexpr auto DEFAULT_INTERVAL = std::chrono::microseconds(125);
// What the board's side may hold unread: f_hid queues four OUT requests. Unix sockets count a
// message's kernel overhead too, so this room holds about that many 64-byte reports.
constexpr int BOARD_ROOM_BYTES = 4096;
constexpr auto TIMEOUT = std::chrono::seconds(60);
// A thread woken late stands in for a bus that kept its beat: up to 1 ms at the shortest interval.
constexpr int CATCH_UP_SLOTS = 8;
constexpr uint32_t MIB = 1024 * 1024;
// The band differs from the one before by more than this on average: a new picture is on it.
constexpr double CHANGED_MEAN = 20;
constexpr uint32_t BAND_HEIGHT = 360;

int listen_at(const std::string& path)
{
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    snprintf(address.sun_path, sizeof address.sun_path, "%s", path.c_str());
    unlink(path.c_str());
    int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || listen(fd, 1) != 0)
        return -1;
    return fd;
}

// The paced link between the host socket (ROOT/sim/host.sock) and the board's node. Replies pass at
// once: they are few. A new connection on either side replaces the old one.
class PacedLink {
public:
    PacedLink(const std::string& root, std::chrono::microseconds interval)
        : gadget_listener_(listen_at(root + "/dev/hidg1")), host_listener_(listen_at(root + "/sim/host.sock")),
          interval_(interval), thread_([this] { run(); })
    {
    }
    ~PacedLink()
    {
        stop_ = true;
        thread_.join();
        for (int fd : {gadget_listener_, host_listener_, gadget_, host_})
            if (fd >= 0)
                close(fd);
    }
    bool valid() const { return gadget_listener_ >= 0 && host_listener_ >= 0; }
    // Data reports per second on the link, from the first data report passed to the last.
    double data_rate() const
    {
        std::chrono::duration<double> span = last_data_.load() - first_data_.load();
        return span.count() > 0 ? (data_reports_ - 1) / span.count() : 0;
    }
    void forget_data() { data_reports_ = 0; }

private:
    static void replace(int& fd, int listener)
    {
        if (fd >= 0)
            close(fd);
        fd = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    }

    // One report from `fd` into `report`; a connection that ended is closed.
    static bool receive(int& fd, hid_report& report)
    {
        ssize_t length = recv(fd, report.data(), report.size(), MSG_DONTWAIT);
        if (length == 0 || (length < 0 && errno != EAGAIN)) {
            close(fd);
            fd = -1;
        }
        return length > 0;
    }

    void run()
    {
        hid_report pending{};
        bool have = false;
        Clock::time_point slot = Clock::now();
        while (!stop_) {
            pollfd fds[4] = {{gadget_listener_, POLLIN, 0}, {host_listener_, POLLIN, 0}, {gadget_, POLLIN, 0},
                             {have ? -1 : host_, POLLIN, 0}};
            auto wait = have ? std::max(slot - Clock::now(), Clock::duration::zero()) : std::chrono::milliseconds(10);
            timespec timeout{0, static_cast<long>(std::chrono::duration_cast<std::chrono::nanoseconds>(wait).count())};
            if (ppoll(fds, 4, &timeout, nullptr) < 0)
                continue;
            hid_report reply;
            if (fds[2].revents && receive(gadget_, reply) && host_ >= 0)
                send(host_, reply.data(), reply.size(), MSG_NOSIGNAL);
            if (fds[3].revents && receive(host_, pending))
                have = true;
            // Accepted last, so that what was polled above belongs to the connection polled.
            if (fds[0].revents & POLLIN) {
                replace(gadget_, gadget_listener_);
                setsockopt(gadget_, SOL_SOCKET, SO_SNDBUF, &BOARD_ROOM_BYTES, sizeof BOARD_ROOM_BYTES);
            }
            if (fds[1].revents & POLLIN)
                replace(host_, host_listener_);
            // One report in each interval. The bus keeps its beat whatever this thread's timing:
            // slots it slept through are made up, a few at most.
            Clock::time_point now = Clock::now();
            if (!have || now < slot)
                continue;
            if (gadget_ >= 0 && send(gadget_, pending.data(), pending.size(), MSG_DONTWAIT | MSG_NOSIGNAL) > 0) {
                have = false;
                if (pending[OFFSET_COMMAND] == CMD_FILE_DATA && data_reports_++ == 0)
                    first_data_ = now;
                last_data_ = now;
            }
            slot = std::max(slot + interval_, now - CATCH_UP_SLOTS * interval_);
        }
    }

    int gadget_listener_, host_listener_;
    int gadget_ = -1, host_ = -1;
    std::chrono::microseconds interval_;
    std::atomic<bool> stop_{false};
    std::atomic<int> data_reports_{0};
    std::atomic<Clock::time_point> first_data_, last_data_;
    std::thread thread_;
};

// A board that answers every prepare and verify with success and only drains the data reports.
void drain_board(const std::string& root, std::atomic<bool>& stop)
{
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    snprintf(address.sun_path, sizeof address.sun_path, "%s/dev/hidg1", root.c_str());
    int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
        return;
    hid_report report;
    while (!stop) {
        pollfd readable{fd, POLLIN, 0};
        if (poll(&readable, 1, 100) != 1 || recv(fd, report.data(), report.size(), 0) <= 0)
            continue;
        uint8_t command = report[OFFSET_COMMAND];
        if (command == CMD_FILE_PREPARE || command == CMD_FILE_VERIFY) {
            fill_reply(report.data(), command, 0);
            send(fd, report.data(), report.size(), MSG_NOSIGNAL);
        }
    }
    close(fd);
}

std::string load()
{
    std::ifstream file("/proc/loadavg");
    std::string one, five;
    file >> one >> five;
    return one + " " + five;
}

std::string read_all(const std::string& path)
{
    std::ifstream file(path, std::ios::binary);
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
}

struct Transfer {
    double wire;     // data reports per second on the link
    double command;  // data reports per second over the whole command, prepare and verify included
    bool whole;
};

// Sends `file` with tavimoro-host, from the command to its exit (the board's verify answer).
Transfer send_file(PacedLink& link, const std::string& root, const std::string& file, const std::string& stored)
{
    link.forget_data();
    std::string tool = fs::read_symlink("/proc/self/exe").parent_path() / "tavimoro-host";
    std::string command = "'" + tool + "' --timeout 30 --device '" + root + "/sim/host.sock' send --name link.bin '" +
                          file + "' >/dev/null";
    Clock::time_point start = Clock::now();
    int status = system(command.c_str());
    double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    bool whole = status == 0 && (stored.empty() || read_all(stored) == read_all(file));
    return {link.data_rate(), packet_count(fs::file_size(file)) / seconds, whole};
}

double limit_of(std::chrono::microseconds interval)
{
    return 1e6 / double(interval.count());
}

void print(const char* what, uint32_t size, const Transfer& transfer, const Transfer& raw, double limit)
{
    printf("%-33s %2u MiB: on the link %5.0f reports/s, %5.1f kB/s (%5.1f %% of raw); whole command %5.0f "
           "reports/s (%5.1f %% of raw); limit %.0f, %.1f kB/s; %s; load %s\n",
           what, size / MIB, transfer.wire, transfer.wire * PAYLOAD_MAX / 1000, 100 * transfer.wire / raw.wire,
           transfer.command, 100 * transfer.command / raw.command, limit, limit * PAYLOAD_MAX / 1000,
           transfer.whole ? "arrived whole" : "NOT WHOLE", load().c_str());
}

bool wait_for_trace(const std::string& log, const std::string& trace, size_t from = 0)
{
    for (auto deadline = Clock::now() + TIMEOUT; Clock::now() < deadline;) {
        if (read_all(log).find(trace, from) != std::string::npos)
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
}

// Seconds from `tavimoro-host image` with `options` to a new picture on the screen's band; -1
// when the command failed or nothing new came.
double image_to_screen(const std::string& root, const std::string& tool, const std::string& options,
                       const std::string& picture)
{
    const std::string screen_file = root + "/sim/screen";
    ScreenImage before;
    if (read_screen(screen_file, before) != 0)
        return -1;
    std::string command = "'" + tool + "' --timeout 30 --device '" + root + "/sim/host.sock' image " + options + " '" +
                          picture + "' >/dev/null";
    Clock::time_point start = Clock::now();
    if (system(command.c_str()) != 0)
        return -1;
    int64_t compared = int64_t(before.sequence);
    for (auto deadline = Clock::now() + TIMEOUT; Clock::now() < deadline;
         std::this_thread::sleep_for(std::chrono::milliseconds(2))) {
        int64_t sequence = read_screen_sequence(screen_file);
        ScreenImage screen;
        if (sequence == compared || sequence % 2 != 0 || read_screen(screen_file, screen) != 0)
            continue;
        if (screen.width == before.width &&
            mean_difference(before.rgba, screen.rgba, size_t(screen.width) * BAND_HEIGHT * 4) > CHANGED_MEAN)
            return std::chrono::duration<double>(Clock::now() - start).count();
        compared = int64_t(screen.sequence);
    }
    return -1;
}

// With `image_only`, only the picture's way to the screen: at a 1 ms interval the transfers take
// a quarter of an hour.
int run(const std::string& root, std::chrono::microseconds interval, bool image_only)
{
    const uint32_t sizes[] = {1 * MIB, 16 * MIB};
    std::minstd_rand bytes(7);
    for (uint32_t size : sizes) {
        std::ofstream out(root + "/sim/" + std::to_string(size / MIB) + ".bin", std::ios::binary);
        for (uint32_t i = 0; i < size; i++)
            out.put(static_cast<char>(bytes()));
    }
    auto source = [&](uint32_t size) { return root + "/sim/" + std::to_string(size / MIB) + ".bin"; };
    const std::string stored = root + "/media/" + SIM_DEFAULT_DISK + "/link.bin";
    double limit = limit_of(interval);
    printf("simulated link: one report per %lld us\n", static_cast<long long>(interval.count()));

    PacedLink link(root, interval);
    if (!link.valid())
        return 1;
    Transfer raw[2];
    if (!image_only) {
        std::atomic<bool> stop{false};
        std::thread board(drain_board, root, std::ref(stop));
        for (int i = 0; i < 2; i++) {
            raw[i] = send_file(link, root, source(sizes[i]), "");
            print("raw (a board that only drains)", sizes[i], raw[i], raw[i], limit);
        }
        stop = true;
        board.join();
    }
    const std::string log = root + "/sim/player.log";
    pid_t player = start_board_program(fs::read_symlink("/proc/self/exe").parent_path() / "tavimoro", root, log);
    // The boot banner's video plays without end once its picture has been shown.
    int result = player > 0 && wait_for_trace(log, "banner_proc: video start") ? 0 : 1;
    for (int i = 0; i < 2 && result == 0 && !image_only; i++) {
        Transfer transfer = send_file(link, root, source(sizes[i]), stored);
        print("through the player, video playing", sizes[i], transfer, raw[i], limit);
        result = transfer.whole ? 0 : 1;
    }
    std::string tool = fs::read_symlink("/proc/self/exe").parent_path() / "tavimoro-host";
    auto show_still = [&] {
        size_t mark = read_all(log).size();
        return system(("'" + tool + "' --device '" + root + "/sim/host.sock' info --title 'Moon Miner' " +
                       "--title2 'Moon Miner' >/dev/null").c_str()) == 0 &&
               wait_for_trace(log, "banner_proc: image start", mark);
    };
    if (result == 0 && show_still()) {
        for (int i = 0; i < 2 && result == 0 && !image_only; i++) {
            Transfer transfer = send_file(link, root, source(sizes[i]), stored);
            print("through the player, still picture", sizes[i], transfer, raw[i], limit);
            result = transfer.whole ? 0 : 1;
        }
    }
    const std::string marquee = root + "/sim/marquee.png";
    if (result == 0 && make_sample_picture(marquee, 1600, 400, "SUPER ARCADE", 0xE0A040, 1) == 0) {
        double as_is = image_to_screen(root, tool, "--as-is", marquee);
        // The still must be on the screen again before the fitted picture replaces it.
        bool still = show_still();
        std::this_thread::sleep_for(std::chrono::seconds(1));
        double fitted = still ? image_to_screen(root, tool, "", marquee) : -1;
        printf("image of a %ju-byte 1600x400 marquee PNG, command -> screen: %.2f s as it is, %.2f s fitted (%.1fx); "
               "load %s\n",
               uintmax_t(fs::file_size(marquee)), as_is, fitted, fitted > 0 ? as_is / fitted : 0.0, load().c_str());
        result = as_is > 0 && fitted > 0 ? 0 : 1;
    }
    if (player > 0) {
        kill(player, SIGTERM);
        waitpid(player, nullptr, 0);
    }
    return result;
}

} // namespace

int main(int argc, char** argv)
{
    setvbuf(stdout, nullptr, _IONBF, 0);
    bool image_only = argc > 1 && strcmp(argv[1], "--image") == 0;
    int first = image_only ? 2 : 1;
    std::chrono::microseconds interval = argc > first ? std::chrono::microseconds(atoi(argv[first])) : DEFAULT_INTERVAL;
    if (interval.count() <= 0) {
        fprintf(stderr, "usage: link_bench [--image] [interval in us, default %lld]\n",
                static_cast<long long>(DEFAULT_INTERVAL.count()));
        return 2;
    }
    char root[] = "/tmp/tavimoro-link-XXXXXX";
    if (!mkdtemp(root) || prepare_board(root) != 0 || make_sample_media(root) != 0)
        return 1;
    setenv("TAVIMORO_ROOT", root, 1);
    signal(SIGPIPE, SIG_IGN);
    int result = run(root, interval, image_only);
    std::error_code error;
    fs::remove_all(root, error);
    return result;
}
