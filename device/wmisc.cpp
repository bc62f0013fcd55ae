// Misc-partition writer: the recovery command record, written in whole 16 KiB blocks.
#include "device/wmisc.h"

#include "core/board_root.h"
#include "core/common.h"

#include <dirent.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace {

constexpr const char* MISC_DEVICE = "/dev/rknand_misc";
constexpr const char* MEDIA_PATH = "/media";
constexpr const char* REBOOT_PATH = "/sbin/reboot";
constexpr const char* RECOVERY_COMMAND = "boot-recovery";
constexpr const char* RECOVERY_TEXT = "recovery\n";
// The recovery text is assembled in a buffer of this size, which bounds the argument.
constexpr size_t RECOVERY_CMD_SIZE = 100;
constexpr long long BLOCK = MISC_BLOCK_SIZE;

struct FileCloser {
    void operator()(FILE* file) const { fclose(file); }
};
struct DirCloser {
    void operator()(DIR* dir) const { closedir(dir); }
};

bool write_block(int fd, const unsigned char* data, long long start)
{
    return pwrite(fd, data, MISC_BLOCK_SIZE, static_cast<off_t>(start)) == static_cast<ssize_t>(MISC_BLOCK_SIZE);
}

// Reads the block at `start`, lays `length` bytes of `data` over it at `offset`, writes it back.
bool merge_block(int fd, long long start, long long offset, const unsigned char* data, long long length)
{
    std::vector<unsigned char> block(MISC_BLOCK_SIZE);
    if (pread(fd, block.data(), MISC_BLOCK_SIZE, static_cast<off_t>(start)) != static_cast<ssize_t>(MISC_BLOCK_SIZE))
        return false;
    memcpy(block.data() + offset, data, static_cast<size_t>(length));
    return write_block(fd, block.data(), start);
}

// Writes data[0, end - pos) to [pos, end) block by block; returns how many leading bytes landed.
long long write_blocks(int fd, const unsigned char* data, long long pos, long long end)
{
    long long at = pos;
    if (at % BLOCK != 0) {
        long long start = at - at % BLOCK;
        long long length = std::min(start + BLOCK, end) - at;
        if (!merge_block(fd, start, at - start, data, length))
            return 0;
        at += length;
    }
    // From here `at` is block-aligned, or already at `end`.
    for (; at + BLOCK <= end; at += BLOCK) {
        if (!write_block(fd, data + (at - pos), at))
            return at - pos;
    }
    if (at < end && merge_block(fd, at, 0, data + (at - pos), end - at))
        at = end;
    return at - pos;
}

} // namespace

unsigned rk29_fwrite(const void* ptr, unsigned size, unsigned count, FILE* stream)
{
    if (!ptr || size == 0 || count == 0 || !stream)
        return 0;
    int fd = fileno(stream);
    // A total that does not fit the size type cannot be described to the caller.
    if (fd < 0 || count > UINT_MAX / size)
        return 0;
    off_t told = ftello(stream);
    long long pos = told < 0 ? 0 : told;
    long long total = static_cast<long long>(size) * count;
    long long written = write_blocks(fd, static_cast<const unsigned char*>(ptr), pos, pos + total);
    unsigned result = static_cast<unsigned>(written / size);
    fseeko(stream, static_cast<off_t>(pos + static_cast<long long>(size) * result), SEEK_SET);
    return result;
}

int set_bootloader_message_block_rk29(const bootloader_message* msg)
{
    std::string device = board_path(MISC_DEVICE);
    printf("fopen device:(%s)\n", device.c_str());
    // The node must already exist: a creating open would put a plain file where the device is
    // missing and report the write as done.
    std::unique_ptr<FILE, FileCloser> stream(fopen(device.c_str(), "r+b"));
    if (!stream) {
        printf("Can't open misc\n(%s)\n", strerror(errno));
        return -1;
    }
    std::vector<unsigned char> image(MISC_IMAGE_SIZE, 0);
    memcpy(image.data() + MISC_RECORD_OFFSET, msg, sizeof *msg);
    if (rk29_fwrite(image.data(), MISC_IMAGE_SIZE, 1, stream.get()) != 1) {
        printf("Failed writing \n(%s)\n", strerror(errno));
        return -1;
    }
    if (fclose(stream.release()) != 0) {
        printf("Failed closing misc\n(%s)\n", strerror(errno));
        return -1;
    }
    sync();
    return 0;
}

int set_bootloader_message(const bootloader_message* msg)
{
    return set_bootloader_message_block_rk29(msg);
}

int setMisc(const char* argument)
{
    printf("going setMisc\n");
    char recoverycmd[RECOVERY_CMD_SIZE] = {};
    snprintf(recoverycmd, sizeof recoverycmd, "%s", RECOVERY_TEXT);
    // A cut argument would send recovery to the wrong file: refuse it instead.
    if (!argument || strlen(RECOVERY_TEXT) + strlen(argument) >= sizeof recoverycmd) {
        printf("%s: recovery argument too long\n", __func__);
        return -1;
    }
    printf("Before strcat the recoverycmd is :%s\n", recoverycmd);
    strcat(recoverycmd, argument);
    printf("After strcat the recoverycmd is :%s\n", recoverycmd);

    bootloader_message msg;
    memset(&msg, 0, sizeof msg);
    memcpy(msg.command, RECOVERY_COMMAND, strlen(RECOVERY_COMMAND));
    memcpy(msg.recovery, recoverycmd, strlen(recoverycmd));
    printf("set misc partition message:%s\n", RECOVERY_COMMAND);
    if (set_bootloader_message(&msg) != 0) {
        printf("write misc error:%s\n", strerror(errno));
        return -1;
    }
    printf("write misc success\n");
    return 0;
}

int find_package_on_disks(const char* package, char* path)
{
    std::string media = board_path(MEDIA_PATH);
    std::unique_ptr<DIR, DirCloser> dir(opendir(media.c_str()));
    if (!dir)
        return 0;
    while (const dirent* entry = readdir(dir.get())) {
        if (strcmp(entry->d_name, ".") == 0 || strcmp(entry->d_name, "..") == 0)
            continue;
        // A disk whose path would not fit the buffer cannot be named to anyone.
        int length = snprintf(path, PATH_BUF_SIZE, "%s/%s", media.c_str(), entry->d_name);
        if (length >= static_cast<int>(PATH_BUF_SIZE))
            continue;
        struct stat st;
        bool is_dir = stat(path, &st) == 0 && S_ISDIR(st.st_mode);
        printf("find path %s\n", path);
        if (!is_dir)
            continue;
        size_t room = PATH_BUF_SIZE - static_cast<size_t>(length);
        if (snprintf(path + length, room, "%s", package) >= static_cast<int>(room))
            continue;
        if (stat(path, &st) == 0) {
            printf("found package of %s.\n", path);
            return 1;
        }
    }
    return 0;
}

int write_update_cmd(const char* package)
{
    char argument[PATH_BUF_SIZE];
    snprintf(argument, sizeof argument, "--update_rkimage=/mnt/usb_storage%s", package);
    return setMisc(argument) == 0 ? 1 : 0;
}

int run_reboot()
{
    int status = system(shell_quote(board_path(REBOOT_PATH)).c_str());
    return status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == 0 ? 1 : 0;
}
