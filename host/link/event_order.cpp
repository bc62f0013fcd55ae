// The places of events in a small counter file per board, and the remembered selection beside it.
#include "host/link/event_order.h"

#include "host/link/link_client.h"

#include <cstdio>
#include <fstream>

namespace {

// Bounds what is read back of a remembered message: the board takes at most 4095 bytes.
constexpr size_t SELECTION_MAX = 4096;

// Holds a state file's lock for a scope.
class held_lock {
public:
    explicit held_lock(state_file& file) : file_(file), held_(lock_state_file(file)) {}
    ~held_lock()
    {
        if (held_)
            unlock_state_file(file_);
    }
    held_lock(const held_lock&) = delete;
    held_lock& operator=(const held_lock&) = delete;
    bool held() const { return held_; }

private:
    state_file& file_;
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

uint64_t read_number(state_file& file)
{
    uint64_t number = 0;
    return read_state_file(file, &number, sizeof number) ? number : 0;
}

int open_place(const std::string& device, event_place& place)
{
    std::string dir = user_state_dir();
    if (dir.empty())
        return fail(-1, "no folder of this user's own for the order of events");
    std::string base = dir + "/" + board_file_name(device);
    place.order = open_state_file(base + ".order");
    place.sending = open_state_file(base + ".sending");
    place.selection_file = base + ".selection";
    if (!place.order || !place.sending)
        return fail(-1, "cannot open the order of events in %s", dir.c_str());
    return 0;
}

} // namespace

int take_event_place(const std::string& device, const std::string* selection, event_place& place)
{
    if (open_place(device, place) != 0)
        return -1;
    held_lock counter(*place.order);
    if (!counter.held())
        return fail(-1, "cannot lock the order of events");
    place.number = read_number(*place.order) + 1;
    if (!write_state_file(*place.order, &place.number, sizeof place.number))
        return fail(-1, "cannot write the order of events");
    // Remembered with the place taken, so that the file always holds the latest selection in
    // the order the events were raised, whichever of their calls sends first. Not made durable:
    // it is the state of a running frontend, and a hook must not wait for the disk.
    if (selection && !replace_small_file(place.selection_file, *selection))
        return fail(-1, "cannot write %s", place.selection_file.c_str());
    return 0;
}

int adopt_event_place(const std::string& device, uint64_t number, event_place& place)
{
    place.number = number;
    return open_place(device, place);
}

std::string remembered_selection(const event_place& place)
{
    std::ifstream file(place.selection_file, std::ios::binary);
    std::string text(SELECTION_MAX, '\0');
    file.read(text.data(), static_cast<std::streamsize>(text.size()));
    text.resize(static_cast<size_t>(file.gcount()));
    return text;
}

int send_in_order(const event_place& place, const std::function<int()>& send, bool& dropped)
{
    dropped = false;
    held_lock turn(*place.sending);
    if (!turn.held())
        return send();
    uint64_t latest;
    {
        held_lock counter(*place.order);
        latest = read_number(*place.order);
    }
    if (latest != place.number) {
        dropped = true;
        return 0;
    }
    return send();
}
