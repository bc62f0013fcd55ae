// Board search: each hidraw device's uevent names its bus, vendor and product (HID_ID), its USB
// path ending in the interface number (HID_PHYS) and its serial number (HID_UNIQ).
#include "host/link/hidraw_search.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>

namespace fs = std::filesystem;

namespace {

constexpr unsigned BUS_USB = 0x03;

std::map<std::string, std::string> read_uevent(const fs::path& file)
{
    std::map<std::string, std::string> values;
    std::ifstream in(file);
    for (std::string line; std::getline(in, line);) {
        size_t equals = line.find('=');
        if (equals != std::string::npos)
            values[line.substr(0, equals)] = line.substr(equals + 1);
    }
    return values;
}

bool is_board(std::map<std::string, std::string>& uevent, const usb_identity& identity)
{
    unsigned bus = 0, vendor = 0, product = 0;
    if (sscanf(uevent["HID_ID"].c_str(), "%x:%x:%x", &bus, &vendor, &product) != 3)
        return false;
    const std::string interface = "/input" + std::to_string(identity.interface);
    const std::string& port = uevent["HID_PHYS"];
    return bus == BUS_USB && vendor == identity.vendor && product == identity.product &&
           port.size() > interface.size() && port.ends_with(interface);
}

// hidraw2 before hidraw10.
bool node_order(const found_board& a, const found_board& b)
{
    return a.node.size() != b.node.size() ? a.node.size() < b.node.size() : a.node < b.node;
}

} // namespace

std::vector<found_board> find_boards(const std::string& root, const usb_identity& identity)
{
    std::vector<found_board> boards;
    std::error_code error;
    // No hidraw class at all (no HID driver loaded) is no board, not a failure.
    for (fs::directory_iterator it(root + "/sys/class/hidraw", error), end; !error && it != end; it.increment(error)) {
        std::map<std::string, std::string> uevent = read_uevent(it->path() / "device" / "uevent");
        if (is_board(uevent, identity))
            boards.push_back({root + "/dev/" + it->path().filename().string(), uevent["HID_UNIQ"], uevent["HID_PHYS"]});
    }
    std::sort(boards.begin(), boards.end(), node_order);
    return boards;
}
