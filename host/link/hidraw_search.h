// Finding the board among the host's hidraw devices by its USB identity and link interface.
#pragma once

#include <string>
#include <vector>

struct usb_identity {
    unsigned vendor;
    unsigned product;
    int interface;  // the HID interface that carries the link
};

struct found_board {
    std::string node;    // the hidraw node, ROOT/dev/hidrawN
    std::string serial;  // the USB serial number, empty when the board gives none
    std::string port;    // where it is plugged in, as the kernel names it
};

// The boards among ROOT/sys/class/hidraw/*, in the order of their node numbers. `root` is empty
// on a real host; tests give a fake tree.
std::vector<found_board> find_boards(const std::string& root, const usb_identity& identity);
