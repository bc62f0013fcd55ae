// The host side of the USB link: finding and opening the board, requests and their replies, and
// the prepare, data and verify of one transfer, with its progress on a terminal.
#pragma once

#include "host/link/hidraw_search.h"
#include "host/link/link_port.h"
#include "hostlink/wire.h"

#include <cstdint>
#include <functional>
#include <string>

// Exit statuses of tavimoro-host and its modules.
constexpr int EXIT_REFUSED = 1;
constexpr int EXIT_USAGE = 2;
constexpr int EXIT_LINK = 3;

constexpr int DEFAULT_TIMEOUT_S = 5;

// Progress and confirmations are printed unless quiet (--quiet, for the hooks).
void set_quiet(bool quiet);
// A confirmation on standard output, unless quiet.
[[gnu::format(gnu_printf, 1, 2)]] void say(const char* format, ...);
// While set, the reasons `fail` gives on this thread are also appended to `into` (the service
// hands them to whoever asked); null stops it.
void capture_failures(std::string* into);
// A reason on standard error; returns `code`.
[[gnu::format(gnu_printf, 2, 3)]] int fail(int code, const char* format, ...);

struct board_link {
    port_handle port;
    int timeout_s = DEFAULT_TIMEOUT_S;
};

// The board's USB identity (board/usb-identity.conf), and what to do when none is found.
constexpr usb_identity BOARD_IDENTITY{TAVIMORO_USB_VID, TAVIMORO_USB_PID, TAVIMORO_USB_LINK_INTERFACE};
constexpr const char* NO_BOARD = "no marquee board found: plug it into a USB port of this computer and check that "
                                 "it is switched on ('tavimoro-host list' shows the boards found)";

// Test only: the host's /sys and /dev are taken under TAVIMORO_HOST_ROOT.
std::string host_root();

// The board's node among the host's HID devices (with `serial` when not empty): 0 with `device`
// set, else an exit status with its reason printed.
int find_link(const std::string& serial, std::string& device);
// 0 with the link open (a hidraw node, taken in turn with other runs, or the simulator's
// socket), else an exit status with its reason printed.
int open_link(const std::string& path, board_link& board);

bool send_report(const board_link& board, const hid_report& report);
// The status of the board's reply to `command`; -1 when none came in time or the link failed.
int await_reply(const board_link& board, uint8_t command, int timeout_s);
// Sends a request and waits for its reply; prints `what` when the board does not answer.
int request(const board_link& board, const hid_report& report, uint8_t reply, int timeout_s, const char* what);

// 0 and `done` said for status 0; EXIT_LINK for no answer; EXIT_REFUSED with `failure` otherwise.
int verdict(int status, const char* done, const char* failure);

// Sends a JSON message (at most 4095 bytes); the board's answer as `verdict` gives it.
int send_message(const board_link& board, const std::string& text);

// Fills a data chunk with at most its length; returns how many bytes it put there.
using chunk_source = std::function<size_t(uint8_t* chunk, size_t length)>;
// Sends `size` bytes as data reports of `command`, with progress under `label`; false on a link
// failure, with its reason printed.
bool send_data_reports(const board_link& board, uint8_t command, uint64_t size, const chunk_source& next,
                       const char* label);

struct transfer_family {
    uint8_t prepare, data, verify;
};
constexpr transfer_family FILE_FAMILY{CMD_FILE_PREPARE, CMD_FILE_DATA, CMD_FILE_VERIFY};
constexpr transfer_family FIRMWARE_FAMILY{CMD_FW_PREPARE, CMD_FW_DATA, CMD_FW_VERIFY};
constexpr transfer_family PACKAGE_FAMILY{CMD_PACKAGE_PREPARE, CMD_PACKAGE_DATA, CMD_PACKAGE_VERIFY};

// Prepare, data and verify of the file at `path`, stored as `name`: 0 when the board holds it
// intact, else an exit status with its reason printed.
int transfer_file(const board_link& board, const transfer_family& kind, const std::string& path,
                  const std::string& name);
