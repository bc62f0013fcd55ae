// The service's heart: the one owner of the board's link. Commands from every source are
// submitted here; one thread sends them in turn, keeps the link open, and opens it again when
// the board comes back. Its state is read whole by whoever shows it (HTTP, the live page, MQTT).
#pragma once

#include "host/link/service_commands.h"

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

struct service_config {
    std::string device;   // the board's node or the simulator's socket; "" to search for it
    std::string serial;   // with several boards, the one with this serial number
    int timeout_s = DEFAULT_TIMEOUT_S;
    std::string temp_dir; // the service's own folder for uploads and fetched files
};

// At most this many transfers wait; a command naming something on the band replaces the one
// still waiting, so a slow board never grows the queue.
constexpr size_t TRANSFER_QUEUE_MAX = 4;

// What became of a command: its exit status as tavimoro-host's, and the reason when it failed.
using command_done = std::function<void(int status, const std::string& reason)>;

// Starts the link's thread; 0, or -1 with the reason printed.
int start_service(const service_config& config);
// Stops the thread; commands still waiting are dropped (their files removed).
void stop_service();

enum submit_result { SUBMIT_QUEUED = 0, SUBMIT_REFUSED = -1, SUBMIT_FULL = -2 };
// Checks `command` as the command line would, then queues it. `source` names where it came from
// (socket, http, mqtt, recalbox, retroarch), for the log. `done`, when set, is called once from
// the link's thread (or at once when refused, with the reason). A command's file is the
// service's from here on: it is removed when the command is done or dropped. `number`, when set,
// takes the queued command's event number (as the state's events show it).
int submit_command(service_command command, const std::string& source, command_done done = nullptr,
                   uint64_t* number = nullptr);

struct service_event {
    uint64_t number = 0;
    std::string time;    // UTC, ISO 8601
    std::string source, command, text;
    int status = -1;     // -1 while it waits or runs
    std::string reason;
};

struct service_state {
    bool board_present = false;
    std::string link;        // "open", "closed", "no board"
    std::string device;
    std::string last_named;  // the JSON of the last game or system named; "" when none yet
    std::string selection;   // the owner's last selection (for back)
    size_t waiting_shows = 0, waiting_transfers = 0;
    uint64_t sequence = 0;   // grows with every change
    std::vector<service_event> recent;  // the last events, oldest first
};

service_state service_snapshot();
// The state as JSON, as the HTTP API, the live page and MQTT give it.
std::string service_state_json(const service_state& state);
// Waits until the state's sequence differs from `seen`, or `timeout_ms` passed, or the service
// stops; returns the sequence.
uint64_t wait_service_change(uint64_t seen, int timeout_ms);
// The board may have come or gone (udev, the simulator's socket): the link's thread looks again.
void board_may_have_changed();
// The folder for uploads and fetched files; a new file there opened for writing, its path set:
// the descriptor, or -1.
const std::string& service_temp_dir();
int make_service_temp_file(std::string& path);
