// Recovery hand-off of the player: package search, misc record, pause, reboot.
#include "device/update.h"

#include "core/common.h"
#include "device/firmware_signature.h"
#include "device/wmisc.h"

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <mutex>
#include <thread>

namespace {

constexpr const char* PACKAGE = "/vorlix_update_online.img";
constexpr auto REBOOT_DELAY = std::chrono::seconds(2);

char path[PATH_BUF_SIZE];
// The main thread and the host-link thread may both start a hand-off: one runs at a time.
std::mutex update_mutex;

} // namespace

int find_package()
{
    return find_package_on_disks(PACKAGE, path);
}

int writeCmdToMisc()
{
    return write_update_cmd(PACKAGE);
}

int rebootNow()
{
    sync();
    return run_reboot();
}

int update()
{
    std::lock_guard lock(update_mutex);
    if (!find_package()) {
        printf("no found %s\n", PACKAGE);
        return -1;
    }
    if (check_firmware_image(path) != 0)
        return -1;
    if (!writeCmdToMisc()) {
        printf("write misc error.\n");
        return -1;
    }
    std::this_thread::sleep_for(REBOOT_DELAY);
    if (!rebootNow()) {
        printf("reboot failed.\n");
        return -1;
    }
    return 0;
}
