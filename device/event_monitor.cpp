// Hardware monitors: sysfs probes, USB-disk searches, and the event and key threads.
#include "device/event_monitor.h"

#include "core/board_root.h"
#include "core/build_variant.h"
#include "core/common.h"
#include "core/durable_file.h"
#include "core/events.h"
#include "core/unique_fd.h"
#include "device/firmware_signature.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

namespace {

constexpr const char* HDMI_SWITCH_CHANNEL_PATH = "/sys/devices/platform/20072000.i2c/i2c-0/0-005a/lt8631ux_oper_channel";
constexpr const char* GPIO_EXPORT_PATH = "/sys/class/gpio/export";
constexpr int HDMI_MODE_GPIO = 1013;
constexpr int RECOVERY_GPIO = 1072;
constexpr const char* HDMI_MODE_VALUE_PATH = "/sys/class/gpio/gpio1013/value";
constexpr const char* RECOVERY_VALUE_PATH = "/sys/class/gpio/gpio1072/value";
constexpr const char* UDC_STATE_PATH = "/sys/devices/platform/10180000.usb/udc/10180000.usb/state";
constexpr const char* DRM_STATUS_PATH = "/sys/class/drm/card0-HDMI-A-1/status";
constexpr const char* MEDIA_PATH = "/media";
constexpr const char* PRODUCT_DIR = "vorlix";
constexpr const char* UPDATE_IMG = "vorlix_update.img";
constexpr const char* DATA_MD5SUM_PATH = "/data/firmware_md5sum";

constexpr size_t STATE_READ_SIZE = 64;
constexpr size_t DRM_STATUS_READ_SIZE = 256;
constexpr size_t MD5_HEX_LENGTH = 32;

constexpr int USB_STATE_OTHER = 1;
constexpr int USB_STATE_CONFIGURED = 2;
constexpr int HDMI_CHANNEL_MODE_LOW = 1;
constexpr int HDMI_CHANNEL_OTHER = 3;
constexpr int KEY_PRESSED = 0;
constexpr int KEY_RELEASED = 1;

constexpr auto EVENT_PERIOD = std::chrono::microseconds(1500000);
constexpr auto KEY_PERIOD = std::chrono::microseconds(20000);

// A sysfs file kept open between reads. The main, event and host-link threads all read the USB
// controller state, so opening, reading and closing are serialised, and each read is positioned.
struct KeptFile {
    std::mutex mutex;
    UniqueFD fd;
};

KeptFile hdmi_mode_fd;
KeptFile udc_state_fd;

std::unique_ptr<std::thread> thread_event;
std::atomic<int> thread_event_exit{0};
std::unique_ptr<std::thread> thread_key;
std::atomic<int> thread_key_exit{0};

constexpr int OPEN_FAILED = -2;

// Reads up to STATE_READ_SIZE bytes from the start of the file into `buffer`, opening it on first
// use. Returns the count read, -1 on a read failure, OPEN_FAILED when it cannot be opened.
int read_kept(KeptFile& file, const std::string& path, char* buffer)
{
    std::lock_guard lock(file.mutex);
    if (!file.fd.valid()) {
        file.fd.reset(open(path.c_str(), O_RDONLY | O_NONBLOCK));
        if (!file.fd.valid())
            return OPEN_FAILED;
    }
    return static_cast<int>(pread(file.fd.get(), buffer, STATE_READ_SIZE, 0));
}

void close_kept(KeptFile& file)
{
    std::lock_guard lock(file.mutex);
    file.fd.reset();
}

// A GPIO value: 0 when the first character read is '0', 1 otherwise, -1 when nothing was read.
int gpio_level(int count, const char* value)
{
    if (count <= 0)
        return -1;
    return value[0] == '0' ? 0 : 1;
}

int run_shell(const std::string& cmd)
{
    return system(cmd.c_str());
}

void setup_gpio_input(int gpio)
{
    std::string number = std::to_string(gpio);
    run_shell("echo " + number + " > " + shell_quote(board_path(GPIO_EXPORT_PATH)));
    run_shell("echo in > " + shell_quote(board_path("/sys/class/gpio/gpio" + number + "/direction")));
}

// The first "/media/<disk>/<name>" that exists, disks in listing order; "" when none does.
std::string find_on_disks(const char* name)
{
    std::string found;
    for_each_subdirectory(board_path(MEDIA_PATH), [&](const std::string& disk) {
        std::string candidate = disk + "/" + name;
        // A path that would not fit the callers' buffers cannot be handed on.
        if (candidate.size() >= PATH_BUF_SIZE || !file_exist(candidate.c_str()))
            return false;
        found = candidate;
        return true;
    });
    return found;
}

int copy_found(const std::string& found, char* out)
{
    if (found.empty())
        return 0;
    if (out)
        snprintf(out, PATH_BUF_SIZE, "%s", found.c_str());
    return 1;
}

// Which file is at `path`, and as what: its inode, size and change time (which every write
// and rename moves); "-" when there is none.
std::string file_identity(const std::string& path)
{
    struct stat st;
    if (stat(path.c_str(), &st) != 0)
        return "-";
    char identity[96];
    snprintf(identity, sizeof identity, "%llu:%llu:%lld:%lld.%09ld", static_cast<unsigned long long>(st.st_dev),
             static_cast<unsigned long long>(st.st_ino), static_cast<long long>(st.st_size),
             static_cast<long long>(st.st_ctim.tv_sec), st.st_ctim.tv_nsec);
    return identity;
}

// The update image and its signature, as the refusal of the image remembers them.
std::string update_img_identity(const char* path)
{
    return file_identity(path) + " " + file_identity(std::string(path) + FIRMWARE_SIGNATURE_SUFFIX);
}

// Compares a newly found update image with the recorded sum; records it and asks for the update
// when it differs and its signature is accepted.
void check_update_img(const char* path, event_monitor_state& state)
{
    state.refused_img.clear();
    const char* sum = get_file_md5sum(path);
    if (!sum) {
        // Without a sum there is nothing to compare or record; the next insertion tries again.
        printf("%s: Failed to get md5sum of %s\n", __func__, path);
        return;
    }
    // The sum is copied out of the shared buffer and reused for the record: reading a large
    // image twice would only give the same digits, or none.
    char file_md5sum[MD5_HEX_LENGTH + 1] = {};
    memcpy(file_md5sum, sum, MD5_HEX_LENGTH);
    char old_md5sum[DATA_MD5SUM_BUF_SIZE] = {};
    get_data_md5sum(old_md5sum);
    printf("%s: file_md5sum %s\n", __func__, file_md5sum);
    printf("%s: old_md5sum %s\n", __func__, old_md5sum);
    if (strncmp(file_md5sum, old_md5sum, MD5_HEX_LENGTH) == 0) {
        printf("%s: firmware not change\n", __func__);
        return;
    }
    // Taken before the check, so that a file replaced while it is read is checked again. A
    // refused image is not recorded: once it is signed, or its disk comes back, it is new.
    std::string identity = update_img_identity(path);
    if (check_firmware_image(path) != 0) {
        state.refused_img = identity;
        return;
    }
    // The record is whole and on the disk before the update can reboot the board; an update
    // that could not be recorded would run again at every start, so it does not run at all.
    std::string record = std::string(file_md5sum) + "\n";
    if (write_file_durably(board_path(DATA_MD5SUM_PATH).c_str(), record.data(), record.size()) != 0) {
        printf("%s: Failed to record the md5sum of %s\n", __func__, path);
        return;
    }
    printf("%s: update img %s\n", __func__, path);
    push_event(EVENT_UPDATE_IMG, 0);
}

// Asks for the update when an update image has appeared on a disk since the last pass, or when a
// refused one has changed.
void watch_update_img(event_monitor_state& state)
{
    char path[PATH_BUF_SIZE] = {};
    int found = find_update_img(path);
    bool appeared = found != state.update_img;
    state.update_img = found;
    if (found != 1)
        state.refused_img.clear();
    else if (appeared || (!state.refused_img.empty() && update_img_identity(path) != state.refused_img))
        check_update_img(path, state);
}

void event_proc()
{
    pthread_setname_np(pthread_self(), "events");
    event_monitor_state state = event_proc_begin();
    while (!thread_event_exit) {
        std::this_thread::sleep_for(EVENT_PERIOD);
        if (thread_event_exit)
            break;
        event_proc_pass(state);
    }
    close_usb_gadget_state();
    close_hdmi_mode_state();
}

void key_proc()
{
    pthread_setname_np(pthread_self(), "keys");
    init_recovery_gpio();
    int last = KEY_RELEASED;
    while (!thread_key_exit) {
        std::this_thread::sleep_for(KEY_PERIOD);
        if (thread_key_exit)
            break;
        last = key_proc_pass(last);
    }
}

int start_thread(std::unique_ptr<std::thread>& handle, std::atomic<int>& exit, void (*body)(),
                 const char* caller, int line)
{
    exit = 0;
    printf("%s %d\n", caller, line);
    if (handle)
        return 0;
    try {
        handle = std::make_unique<std::thread>(body);
    } catch (const std::exception&) {
        printf("%s:%s Failed to create thread!\n", "event_monitor.cpp", caller);
        return -1;
    }
    return 0;
}

void stop_thread(std::unique_ptr<std::thread>& handle, std::atomic<int>& exit, const char* caller, int line)
{
    exit = 1;
    printf("%s %d\n", caller, line);
    if (!handle)
        return;
    handle->join();
    handle.reset();
}

} // namespace

int set_hdmi_switch_channel(int channel)
{
    std::string cmd = "echo " + std::to_string(channel) + " > " + shell_quote(board_path(HDMI_SWITCH_CHANNEL_PATH));
    printf("%s\n", cmd.c_str());
    run_shell(cmd);
    return 0;
}

int init_hdmi_mode_gpio()
{
    setup_gpio_input(HDMI_MODE_GPIO);
    return 0;
}

int get_hdmi_mode_state()
{
    std::string path = board_path(HDMI_MODE_VALUE_PATH);
    char value[STATE_READ_SIZE + 1] = {};
    int count = read_kept(hdmi_mode_fd, path, value);
    if (count == OPEN_FAILED) {
        printf("%s: Faield to open %s\n", __func__, path.c_str());
        return -1;
    }
    return gpio_level(count, value);
}

void close_hdmi_mode_state()
{
    close_kept(hdmi_mode_fd);
}

int find_vorlix_path(char* out)
{
    std::string found = find_on_disks(PRODUCT_DIR);
    if (!found.empty())
        printf("%s: %s\n", __func__, found.c_str());
    return copy_found(found, out);
}

int find_update_img(char* out)
{
    return copy_found(find_on_disks(UPDATE_IMG), out);
}

int get_data_md5sum(char* out)
{
    std::string path = board_path(DATA_MD5SUM_PATH);
    UniqueFD fd(open(path.c_str(), O_RDONLY));
    if (!fd.valid()) {
        printf("%s: Faield to open %s\n", __func__, path.c_str());
        return -1;
    }
    char sum[DATA_MD5SUM_BUF_SIZE] = {};
    if (read(fd.get(), sum, DATA_MD5SUM_BUF_SIZE - 1) <= 0)
        return -1;
    printf("%s: %s\n", __func__, sum);
    if (out)
        memcpy(out, sum, sizeof sum);
    return 0;
}

int get_usb_gadget_state()
{
    std::string path = board_path(UDC_STATE_PATH);
    char state[STATE_READ_SIZE + 1] = {};
    int count = read_kept(udc_state_fd, path, state);
    if (count == OPEN_FAILED) {
        printf("%s: Faield to open %s, fd=%d\n", __func__, path.c_str(), -1);
        return -1;
    }
    if (count <= 0)
        return -1;
    return strncmp(state, "configured", strlen("configured")) == 0 ? USB_STATE_CONFIGURED : USB_STATE_OTHER;
}

void close_usb_gadget_state()
{
    close_kept(udc_state_fd);
}

int get_drm_card_state()
{
    std::string path = board_path(DRM_STATUS_PATH);
    std::unique_ptr<FILE, decltype(&fclose)> file(fopen(path.c_str(), "r"), &fclose);
    if (!file) {
        printf("%s: Faield to open %s\n", __func__, path.c_str());
        return 0;
    }
    char status[DRM_STATUS_READ_SIZE + 1] = {};
    if (fread(status, 1, DRM_STATUS_READ_SIZE, file.get()) == 0)
        return 0;
    printf("%s: %s\n", __func__, status);
    return strncmp(status, "disconnected", strlen("disconnected")) == 0 ? 0 : 1;
}

int init_recovery_gpio()
{
    setup_gpio_input(RECOVERY_GPIO);
    return 0;
}

int get_recovery_state()
{
    std::string path = board_path(RECOVERY_VALUE_PATH);
    UniqueFD fd(open(path.c_str(), O_RDONLY | O_NONBLOCK));
    if (!fd.valid()) {
        printf("%s: Faield to open %s\n", __func__, path.c_str());
        return -1;
    }
    char value[STATE_READ_SIZE + 1] = {};
    return gpio_level(static_cast<int>(read(fd.get(), value, STATE_READ_SIZE)), value);
}

event_monitor_state event_proc_begin()
{
    return {-1, 0, get_hdmi_mode_state(), {}};
}

void event_proc_pass(event_monitor_state& state)
{
    if (WATCHES_UPDATE_IMAGE)
        watch_update_img(state);
    int usb = get_usb_gadget_state();
    if (usb == -1)
        return;
    if (usb != state.usb_state) {
        state.usb_state = usb;
        push_event(usb == USB_STATE_CONFIGURED ? EVENT_GADGET_STATE_CONFIGURED : EVENT_GADGET_STATE_SUSPEND, 0);
    }

    int mode = get_hdmi_mode_state();
    if (mode != state.hdmi_mode) {
        state.hdmi_mode = mode;
        set_hdmi_switch_channel(mode == 0 ? HDMI_CHANNEL_MODE_LOW : HDMI_CHANNEL_OTHER);
    }
}

int key_proc_pass(int last)
{
    int state = get_recovery_state();
    if (state != last && state == KEY_PRESSED)
        push_event(EVENT_RECOVERY_DOWN, 0);
    return state;
}

int start_event_thread()
{
    return start_thread(thread_event, thread_event_exit, event_proc, __func__, __LINE__);
}

void stop_event_thread()
{
    stop_thread(thread_event, thread_event_exit, __func__, __LINE__);
}

int start_key_thread()
{
    return start_thread(thread_key, thread_key_exit, key_proc, __func__, __LINE__);
}

void stop_key_thread()
{
    stop_thread(thread_key, thread_key_exit, __func__, __LINE__);
}
