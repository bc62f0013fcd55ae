// The host-link reader thread: waits for reports on the gadget node, dispatches them, and
// writes the replies.
#include "hostlink/hid_dev.h"

#include "core/board_root.h"
#include "core/build_variant.h"
#include "core/unique_fd.h"
#include "hostlink/crc32.h"
#include "hostlink/report_socket.h"
#include "hostlink/transfer_state.h"
#include "hostlink/wire.h"

#include <fcntl.h>
#include <pthread.h>
#include <sched.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <thread>

std::atomic<int> hidg_fd{-1};

namespace {

constexpr const char* HID_DEVICE = "/dev/hidg1";
constexpr long WAIT_TIMEOUT_S = 1;
// The gadget driver holds only four reports the reader has not read, and the host's next report
// waits until there is room: a reader kept off the processor by the video's threads leaves the
// link idle. On the real-kernel bench a transfer during video ran at half the raw rate at the
// normal policy, at 80 % at nice -10, and at the raw rate with the reader at the lowest real-time
// priority, which it therefore takes: it runs the moment a report arrives and does little per
// report. The handlers that take long run at the normal policy (long_running below), so they
// do not hold the processor against the video; the kernel's real-time throttling bounds the rest.
// Without the privilege the reader keeps the normal policy.
constexpr int READER_PRIORITY = 1;

std::unique_ptr<std::thread> thread_hid;
std::atomic<int> thread_hid_exit{0};
uint8_t buffer_r[REPORT_SIZE];
uint8_t buffer_w[REPORT_SIZE];

struct command_entry {
    uint8_t code;
    int (*handler)(const uint8_t*);
    bool in_build;      // false for the commands this build does not answer
    // Checks a whole file, unpacks, or updates: run at the normal policy. A handler added later
    // that may take more than a report's time must set it, or it holds the processor at the
    // real-time priority.
    bool long_running;
};

constexpr command_entry COMMANDS[] = {
    {CMD_FILE_PREPARE, response_file_transmit_prepare, true, false},
    {CMD_FILE_DATA, response_file_transmit_data, true, false},
    {CMD_FILE_VERIFY, response_file_transmit_verify, true, true},
    {CMD_FIRMWARE_UPDATE, response_firmware_update, true, true},
    {CMD_CONNECT_STATE, response_vorlix_connect_state, ANSWERS_CONNECT_STATE, false},
    {CMD_MESSAGE_PREPARE, response_data_transmit_prepare, true, false},
    {CMD_MESSAGE_DATA, response_data_transmit_data, true, false},
    {CMD_IMAGE_PREPARE, response_show_image_prepare, true, false},
    {CMD_IMAGE_DATA, response_show_image_data, true, false},
    {CMD_IMAGE_VERIFY, response_show_image_verify, true, true},
    {CMD_FW_PREPARE, response_fw_update_prepare, true, false},
    {CMD_FW_DATA, response_fw_update_data, true, false},
    {CMD_FW_VERIFY, response_fw_update_verify, true, true},
    {CMD_PACKAGE_PREPARE, response_package_transmit_prepare, TAKES_PACKAGES, false},
    {CMD_PACKAGE_DATA, response_package_transmit_data, TAKES_PACKAGES, false},
    {CMD_PACKAGE_VERIFY, response_package_transmit_verify, TAKES_PACKAGES, true},
};

// Real-time (`SCHED_FIFO`) or normal (`SCHED_OTHER`) policy for the calling thread; children it
// starts do not inherit it. 0, or -1 with errno.
int set_reader_policy(int policy)
{
    sched_param param{};
    param.sched_priority = policy == SCHED_FIFO ? READER_PRIORITY : 0;
    return sched_setscheduler(0, policy | SCHED_RESET_ON_FORK, &param);
}

// While alive, a reader that runs at the real-time priority runs at the normal policy.
class NormalPolicy {
public:
    NormalPolicy() : lowered_((sched_getscheduler(0) & ~SCHED_RESET_ON_FORK) == SCHED_FIFO)
    {
        if (lowered_)
            set_reader_policy(SCHED_OTHER);
    }
    ~NormalPolicy()
    {
        if (lowered_)
            set_reader_policy(SCHED_FIFO);
    }
    NormalPolicy(const NormalPolicy&) = delete;
    NormalPolicy& operator=(const NormalPolicy&) = delete;

private:
    bool lowered_;
};

// Off the board the gadget node is stood in for by a Unix socket carrying one report per
// message; the reader connects to it instead of opening it.
UniqueFD open_device(const std::string& path)
{
    struct stat st;
    if (stat(path.c_str(), &st) != 0 || !S_ISSOCK(st.st_mode))
        return UniqueFD(open(path.c_str(), O_RDWR | O_CLOEXEC));
    return connect_report_socket(path);
}

// 1 when a report can be read, 0 on time-out, -1 on a wait error.
int wait_readable(int fd)
{
    for (;;) {
        fd_set readable;
        FD_ZERO(&readable);
        FD_SET(fd, &readable);
        timeval timeout{WAIT_TIMEOUT_S, 0};
        int ready = select(fd + 1, &readable, nullptr, nullptr, &timeout);
        if (ready >= 0)
            return ready > 0 ? 1 : 0;
        if (errno != EINTR) {
            perror("select()");
            return -1;
        }
    }
}

} // namespace

int start_hid_thread()
{
    thread_hid_exit = 0;
    init_crc32_table();
    if (thread_hid)
        return 0;
    try {
        thread_hid = std::make_unique<std::thread>(hid_proc);
    } catch (const std::exception&) {
        thread_hid.reset();
        printf("%s:%s Failed to create thread!\n", "hid_dev", __func__);
        return -1;
    }
    return 0;
}

void stop_hid_thread()
{
    thread_hid_exit = 1;
    if (!thread_hid)
        return;
    thread_hid->join();
    thread_hid.reset();
}

void hid_proc()
{
    pthread_setname_np(pthread_self(), "link");
    // Whatever a crash or a power cut left half-written goes before the host can send anything.
    clear_new_disks();
    UniqueFD device = open_device(board_path(HID_DEVICE));
    if (!device.valid()) {
        printf("Failed to open hid5\n");
        return;
    }
    hidg_fd = device.get();
    if (set_reader_policy(SCHED_FIFO) != 0)
        printf("%s: the reader keeps the normal priority: %s\n", __func__, strerror(errno));
    while (thread_hid_exit == 0) {
        int ready = wait_readable(device.get());
        if (ready < 0)
            break;
        if (ready == 0) {
            NormalPolicy normal;
            transfer_idle_tick();
            continue;
        }
        memset(buffer_r, 0, sizeof buffer_r);
        ssize_t length = read(device.get(), buffer_r, sizeof buffer_r);
        if (length < 0 && errno == EINTR)
            continue;
        // End of stream on the socket stand-in ends the reader as a read error does.
        if (length <= 0) {
            printf("Failed to read hidg5\n");
            break;
        }
        data_proc(buffer_r, REPORT_SIZE);
    }
    // Replies after an error are refused instead of going to a closed descriptor.
    hidg_fd = -1;
    // With the host gone, nothing will finish the transfer under way.
    close_transmit_file();
}

int send_data(const uint8_t* buffer, int length)
{
    int fd = hidg_fd;
    if (fd < 0 || length < 0)
        return -1;
    // A host that went away must not kill the player with SIGPIPE on the socket stand-in.
    ssize_t written = send(fd, buffer, static_cast<size_t>(length), MSG_NOSIGNAL);
    if (written < 0 && errno == ENOTSOCK)
        written = write(fd, buffer, static_cast<size_t>(length));
    return static_cast<int>(written);
}

int send_reply(uint8_t command, uint8_t status)
{
    fill_reply(buffer_w, command, status);
    return send_data(buffer_w, REPORT_SIZE);
}

void data_proc(const uint8_t* report, int length)
{
    if (length < static_cast<int>(REPORT_SIZE) || !has_report_magic(report))
        return;
    for (const command_entry& entry : COMMANDS) {
        if (entry.code == report[OFFSET_COMMAND] && entry.in_build) {
            std::optional<NormalPolicy> normal;
            if (entry.long_running)
                normal.emplace();
            entry.handler(report);
            return;
        }
    }
}
