// The places of events in a small counter file per board, and the remembered selection beside it.
#include "host/link/event_order.h"

#include "host/link/link_client.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>

namespace {

// Bounds what is read back of a remembered message: the board takes at most 4095 bytes.
constexpr size_t SELECTION_MAX = 4096;

bool lock(int fd, int how)
{
    int locked;
    do
        locked = flock(fd, how);
    while (locked != 0 && errno == EINTR);
    return locked == 0;
}

// Holds a file's lock for a scope.
class held_lock {
public:
    explicit held_lock(int fd) : fd_(fd), held_(lock(fd, LOCK_EX)) {}
    ~held_lock()
    {
        if (held_)
            lock(fd_, LOCK_UN);
    }
    held_lock(const held_lock&) = delete;
    held_lock& operator=(const held_lock&) = delete;
    bool held() const { return held_; }

private:
    int fd_;
    bool held_;
};

// A stable short name for a board's files: the FNV-1a hash of its node's path.
std::string board_file_name(const std::string& device)
{
    uint64_t hash = 0xcbf29ce484222325ull;
    for (unsigned char c : device)
        hash = (hash ^ c) * 0x100000001b3ull;
    char name[32];
    snprintf(name, sizeof name, "%016llx", static_cast<unsigned long long>(hash));
    return name;
}

UniqueFD open_state_file(const std::string& path)
{
    return UniqueFD(open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600));
}

// Whole or nothing, as a reader may come at any time; not made durable: the selection is the
// state of a running frontend, and a hook must not wait for the disk.
bool replace_file(const std::string& path, const std::string& text)
{
    std::string partial = path + "." + std::to_string(getpid());
    UniqueFD file(open(partial.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600));
    bool written = file.valid() && write(file.get(), text.data(), text.size()) == static_cast<ssize_t>(text.size());
    if (written && rename(partial.c_str(), path.c_str()) == 0)
        return true;
    unlink(partial.c_str());
    return false;
}

uint64_t read_number(int fd)
{
    uint64_t number = 0;
    return pread(fd, &number, sizeof number, 0) == sizeof number ? number : 0;
}

} // namespace

std::string event_state_dir()
{
    std::string root = host_root();
    std::string dir = root;
    if (const char* runtime = getenv("XDG_RUNTIME_DIR"); runtime && *runtime)
        dir += std::string(runtime) + "/tavimoro";
    else
        dir += "/tmp/tavimoro-" + std::to_string(getuid());
    // Under a test's host root the system's folders are not there yet.
    std::error_code ignored;
    if (!root.empty())
        std::filesystem::create_directories(std::filesystem::path(dir).parent_path(), ignored);
    if (mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST)
        return "";
    // In a shared /tmp another user could have made the folder first, to plant links in it.
    struct stat st;
    if (lstat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != getuid() || (st.st_mode & 022) != 0)
        return "";
    return dir;
}

int take_event_place(const std::string& device, const std::string* selection, event_place& place)
{
    std::string dir = event_state_dir();
    if (dir.empty())
        return fail(-1, "no folder of this user's own for the order of events (XDG_RUNTIME_DIR or /tmp)");
    std::string base = dir + "/" + board_file_name(device);
    place.order = open_state_file(base + ".order");
    place.sending = open_state_file(base + ".sending");
    place.selection_file = base + ".selection";
    if (!place.order.valid() || !place.sending.valid())
        return fail(-1, "cannot open %s.*: %s", base.c_str(), strerror(errno));
    held_lock counter(place.order.get());
    if (!counter.held())
        return fail(-1, "cannot lock %s.order: %s", base.c_str(), strerror(errno));
    place.number = read_number(place.order.get()) + 1;
    if (pwrite(place.order.get(), &place.number, sizeof place.number, 0) != sizeof place.number)
        return fail(-1, "cannot write %s.order: %s", base.c_str(), strerror(errno));
    // Remembered with the place taken, so that the file always holds the latest selection in
    // the order the events were raised, whichever of their calls sends first.
    if (selection && !replace_file(place.selection_file, *selection))
        return fail(-1, "cannot write %s: %s", place.selection_file.c_str(), strerror(errno));
    return 0;
}

std::string remembered_selection(const event_place& place)
{
    UniqueFD file(open(place.selection_file.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    if (!file.valid())
        return "";
    std::string text(SELECTION_MAX, '\0');
    ssize_t length = read(file.get(), text.data(), text.size());
    text.resize(length > 0 ? static_cast<size_t>(length) : 0);
    return text;
}

int send_in_order(const event_place& place, const std::function<int()>& send, bool& dropped)
{
    dropped = false;
    held_lock turn(place.sending.get());
    if (!turn.held())
        return send();
    uint64_t latest;
    {
        held_lock counter(place.order.get());
        latest = read_number(place.order.get());
    }
    if (latest != place.number) {
        dropped = true;
        return 0;
    }
    return send();
}
