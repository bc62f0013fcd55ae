// Requests the host makes of the board itself: start a firmware update from a transferred
// file, and tell whether the USB gadget is configured.
#include "core/common.h"
#include "device/event_monitor.h"
#include "device/firmware_signature.h"
#include "device/update.h"
#include "hostlink/hid_dev.h"
#include "hostlink/transfer_state.h"
#include "hostlink/wire.h"

#include <chrono>
#include <cstdio>
#include <thread>

namespace {

constexpr auto UPDATE_DELAY = std::chrono::milliseconds(100);
enum : uint8_t { FIRMWARE_PRESENT = 0, FIRMWARE_MISSING = 1 };
enum : uint8_t { LINK_NOT_CONFIGURED = 0, LINK_CONFIGURED = 1 };
constexpr int GADGET_CONFIGURED = 2;

} // namespace

int response_firmware_update(const uint8_t* report)
{
    printf("%s\n", __func__);
    // Only a file in the directory of the last file transfer counts; before any, there is none.
    char name[FIRMWARE_NAME_FIELD];
    char path[PATH_BUF_SIZE];
    bool present = copy_file_name(report + OFFSET_FIRMWARE_NAME, FIRMWARE_NAME_FIELD, name) && transmit_file_path[0] &&
                   join_path(transmit_file_path, name, path) && file_exist(path);
    // A named image the board refuses is answered as missing, and not searched for again.
    bool refused = present && check_firmware_image(path) != 0;
    send_reply(CMD_FIRMWARE_UPDATE, present && !refused ? FIRMWARE_PRESENT : FIRMWARE_MISSING);
    if (refused)
        return 0;
    std::this_thread::sleep_for(UPDATE_DELAY);
    printf("%s: update firmware\n", __func__);
    // update() makes its own search for the package, so it runs whatever the status; when it
    // finds none the reader simply goes on.
    update();
    return 0;
}

int response_vorlix_connect_state(const uint8_t*)
{
    printf("%s\n", __func__);
    send_reply(CMD_CONNECT_STATE, get_usb_gadget_state() == GADGET_CONFIGURED ? LINK_CONFIGURED : LINK_NOT_CONFIGURED);
    return 0;
}
