// Watches for the board with libudev's monitor (hidraw devices added or removed) and, where the
// service was given a path, with inotify on its folder (a simulated board's socket made anew).
#include "host/link/service_watch.h"

#include "core/unique_fd.h"
#include "host/link/service_core.h"

#include <libudev.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <thread>

namespace {

struct UdevDeleter {
    void operator()(udev* u) const { udev_unref(u); }
    void operator()(udev_monitor* m) const { udev_monitor_unref(m); }
    void operator()(udev_device* d) const { udev_device_unref(d); }
};

std::unique_ptr<udev, UdevDeleter> context;
std::unique_ptr<udev_monitor, UdevDeleter> monitor;
UniqueFD folder_watch, stop_event;
std::thread watching;
std::string node_name;

// A udev monitor of hidraw devices; none where udev is not running (a container), and then
// only the path's folder tells of the board.
bool open_monitor()
{
    context.reset(udev_new());
    if (context)
        monitor.reset(udev_monitor_new_from_netlink(context.get(), "udev"));
    if (!monitor || udev_monitor_filter_add_match_subsystem_devtype(monitor.get(), "hidraw", nullptr) < 0 ||
        udev_monitor_enable_receiving(monitor.get()) < 0) {
        monitor.reset();
        return false;
    }
    return true;
}

// Whether the folder's events name the node itself: the folder of a simulated board holds its
// screen too, written at every frame.
bool node_event()
{
    alignas(inotify_event) char events[4096];
    ssize_t n = read(folder_watch.get(), events, sizeof events);
    bool node = false;
    for (ssize_t at = 0; at < n;) {
        const auto* event = reinterpret_cast<const inotify_event*>(events + at);
        node = node || (event->len > 0 && node_name == event->name);
        at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
    }
    return node;
}

void watch_loop()
{
    for (;;) {
        pollfd fds[3] = {{stop_event.get(), POLLIN, 0},
                         {monitor ? udev_monitor_get_fd(monitor.get()) : -1, POLLIN, 0},
                         {folder_watch.get(), POLLIN, 0}};
        if (poll(fds, 3, -1) < 0 && errno != EINTR)
            return;
        if (fds[0].revents & POLLIN)
            return;
        bool changed = false;
        if (fds[1].revents & POLLIN) {
            std::unique_ptr<udev_device, UdevDeleter> device(udev_monitor_receive_device(monitor.get()));
            changed = device != nullptr;
        }
        if (fds[2].revents & POLLIN)
            changed = node_event() || changed;
        if (changed)
            board_may_have_changed();
    }
}

} // namespace

int start_board_watch(const std::string& device)
{
    stop_event = UniqueFD(eventfd(0, EFD_CLOEXEC));
    if (!stop_event.valid())
        return fprintf(stderr, "tavimoro-host serve: cannot make an eventfd: %s\n", strerror(errno)), -1;
    if (!open_monitor())
        printf("tavimoro-host serve: no udev here: a board plugged in later is found only at the next event\n");
    if (!device.empty()) {
        std::string folder = std::filesystem::path(device).parent_path();
        node_name = std::filesystem::path(device).filename();
        folder_watch = UniqueFD(inotify_init1(IN_CLOEXEC | IN_NONBLOCK));
        if (folder_watch.valid() &&
            inotify_add_watch(folder_watch.get(), folder.empty() ? "." : folder.c_str(),
                              IN_CREATE | IN_ATTRIB | IN_MOVED_TO | IN_DELETE) < 0)
            folder_watch.reset();
    }
    watching = std::thread(watch_loop);
    return 0;
}

void stop_board_watch()
{
    uint64_t one = 1;
    if (stop_event.valid() && write(stop_event.get(), &one, sizeof one) < 0)
        perror("tavimoro-host serve: stopping the watch");
    if (watching.joinable())
        watching.join();
    monitor.reset();
    context.reset();
    folder_watch.reset();
}
