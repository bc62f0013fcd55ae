// The `update` program: hands the update image on a USB disk to recovery and reboots into it.
#include "core/common.h"
#include "device/firmware_signature.h"
#include "device/wmisc.h"

#include <unistd.h>

#include <cstdio>

namespace {

constexpr const char* IMAGE = "/vorlix_update.img";

char path[PATH_BUF_SIZE];

int find_package()
{
    return find_package_on_disks(IMAGE, path);
}

int writeCmdToMisc()
{
    return write_update_cmd(IMAGE);
}

// The record was synced when it was written; the sync after the reboot request only flushes
// what else is pending while the system goes down.
int rebootNow()
{
    int rebooted = run_reboot();
    sync();
    return rebooted;
}

} // namespace

int main()
{
    setvbuf(stdout, nullptr, _IONBF, 0);
    setvbuf(stderr, nullptr, _IONBF, 0);
    printf("update V1.0.0\n");
    if (!find_package()) {
        printf("no found %s\n", IMAGE);
        return -1;
    }
    // It also runs at boot, where no monitor has looked at the image before.
    if (check_firmware_image(path) != 0) {
        printf("image refused.\n");
        return -1;
    }
    if (!writeCmdToMisc()) {
        printf("write misc error.\n");
        return -1;
    }
    if (!rebootNow()) {
        printf("reboot failed.\n");
        return -1;
    }
    printf("reboot to recovery.\n");
    return 0;
}
