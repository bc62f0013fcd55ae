// The link on Windows: the board's HID interface opened through the HID class, with overlapped
// reads so that a reply can be waited for with a time-out. Runs of the tool on one board take
// turns through a named mutex, as they do through the node's lock on Linux.
#include "host/link/link_port.h"

#include <windows.h>

#include <cstdint>
#include <cstring>
#include <string>

struct link_port {
    HANDLE device = INVALID_HANDLE_VALUE;
    HANDLE turn = nullptr;   // the mutex held while the port is open
    HANDLE event = nullptr;  // signals the end of an overlapped read or write
    ~link_port()
    {
        if (device != INVALID_HANDLE_VALUE) {
            CancelIo(device);
            CloseHandle(device);
        }
        if (turn) {
            ReleaseMutex(turn);
            CloseHandle(turn);
        }
        if (event)
            CloseHandle(event);
    }
};

void close_port(link_port* port)
{
    delete port;
}

namespace {

// A HID report on Windows starts with its report number, 0 for a device without numbered ones.
constexpr DWORD WIRE_REPORT_SIZE = REPORT_SIZE + 1;

DWORD last_error = 0;

// The mutex's name from the device path, which holds backslashes a name may not.
std::string turn_name(const std::string& path)
{
    uint64_t hash = 0xcbf29ce484222325ull;
    for (unsigned char c : path)
        hash = (hash ^ c) * 0x100000001b3ull;
    return "Local\\tavimoro-link-" + std::to_string(hash);
}

// Waits for an overlapped operation started on the port: its byte count, or -1 on failure or
// after `timeout_ms` (the operation is then cancelled).
long finish(link_port& port, OVERLAPPED& pending, BOOL started, DWORD timeout_ms)
{
    if (!started && GetLastError() != ERROR_IO_PENDING) {
        last_error = GetLastError();
        return -1;
    }
    if (WaitForSingleObject(port.event, timeout_ms) != WAIT_OBJECT_0) {
        CancelIo(port.device);
        DWORD ignored;
        GetOverlappedResult(port.device, &pending, &ignored, TRUE);
        last_error = WAIT_TIMEOUT;
        return -2;
    }
    DWORD done = 0;
    if (!GetOverlappedResult(port.device, &pending, &done, FALSE)) {
        last_error = GetLastError();
        return -1;
    }
    return static_cast<long>(done);
}

} // namespace

port_handle open_port(const std::string& path, bool& no_permission, std::string& why)
{
    port_handle port(new link_port);
    port->device = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                               OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    if (port->device == INVALID_HANDLE_VALUE) {
        last_error = GetLastError();
        no_permission = last_error == ERROR_ACCESS_DENIED;
        why = last_port_error();
        return nullptr;
    }
    port->event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    port->turn = CreateMutexA(nullptr, FALSE, turn_name(path).c_str());
    DWORD waited = port->turn ? WaitForSingleObject(port->turn, INFINITE) : WAIT_FAILED;
    if (!port->event || (waited != WAIT_OBJECT_0 && waited != WAIT_ABANDONED)) {
        last_error = GetLastError();
        why = "cannot take its turn: " + last_port_error();
        return nullptr;
    }
    return port;
}

bool write_report(link_port& port, const hid_report& report)
{
    uint8_t buffer[WIRE_REPORT_SIZE] = {0};
    memcpy(buffer + 1, report.data(), REPORT_SIZE);
    OVERLAPPED pending{};
    pending.hEvent = port.event;
    ResetEvent(port.event);
    BOOL started = WriteFile(port.device, buffer, WIRE_REPORT_SIZE, nullptr, &pending);
    // A write the device does not take within a few seconds means the board has stopped reading.
    constexpr DWORD WRITE_TIMEOUT_MS = 5000;
    return finish(port, pending, started, WRITE_TIMEOUT_MS) == static_cast<long>(WIRE_REPORT_SIZE);
}

int read_report(link_port& port, hid_report& report, int timeout_ms)
{
    uint8_t buffer[WIRE_REPORT_SIZE] = {0};
    OVERLAPPED pending{};
    pending.hEvent = port.event;
    ResetEvent(port.event);
    BOOL started = ReadFile(port.device, buffer, WIRE_REPORT_SIZE, nullptr, &pending);
    long length = finish(port, pending, started, static_cast<DWORD>(timeout_ms));
    if (length == -2)
        return 0;
    if (length <= 1)
        return -1;
    report.fill(0);
    memcpy(report.data(), buffer + 1, static_cast<size_t>(length - 1) < REPORT_SIZE ? length - 1 : REPORT_SIZE);
    return 1;
}

std::string last_port_error()
{
    char text[256] = "";
    FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, last_error, 0, text,
                   sizeof text, nullptr);
    std::string message = text;
    while (!message.empty() && (message.back() == '\n' || message.back() == '\r' || message.back() == '.'))
        message.pop_back();
    return message.empty() ? "error " + std::to_string(last_error) : message;
}

// Windows waits on handles, not descriptors; the service that keeps a link open is Linux's.
int port_descriptor(const link_port&)
{
    return -1;
}
