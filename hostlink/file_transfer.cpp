// Chunked transfers of files, firmware images and packages to the USB disk: one engine for the
// prepare, data and verify steps, with the three families differing only in target directory,
// space rule and what follows a good verify.
#include "core/board_root.h"
#include "core/build_variant.h"
#include "core/common.h"
#include "core/durable_file.h"
#include "core/events.h"
#include "core/timer.h"
#include "core/unique_fd.h"
#include "device/firmware_signature.h"
#include "hostlink/crc32.h"
#include "hostlink/hid_dev.h"
#include "hostlink/package_unpack.h"
#include "hostlink/transfer_state.h"
#include "hostlink/wire.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <set>
#include <string>

char transmit_file_name[PATH_BUF_SIZE];
char transmit_file_path[PATH_BUF_SIZE];
uint32_t transmit_packet_size;

namespace {

constexpr size_t VERIFY_BLOCK_SIZE = 4096;
constexpr int64_t KIB = 1024;
// A package is unpacked next to itself, so it needs room for the archive and its contents.
constexpr int64_t PACKAGE_SPACE_FACTOR = 3;
constexpr const char* PRODUCT_DIR_FORMAT = "%s/vorlix";

enum class family { file, firmware, package };

struct transfer_kind {
    family which;
    uint8_t prepare_reply;
    uint8_t verify_reply;
};

constexpr transfer_kind FILE_TRANSFER{family::file, CMD_FILE_PREPARE, CMD_FILE_VERIFY};
constexpr transfer_kind FIRMWARE_TRANSFER{family::firmware, CMD_FW_PREPARE, CMD_FW_VERIFY};
constexpr transfer_kind PACKAGE_TRANSFER{family::package, CMD_PACKAGE_PREPARE, CMD_PACKAGE_VERIFY};

enum : uint8_t { PREPARE_READY = 0, PREPARE_NO_DISK = 1, PREPARE_NO_SPACE = 2 };
enum : uint8_t { VERIFY_OK = 0, VERIFY_FAILED = 1 };
enum : uint8_t { UNPACK_OK = 0, UNPACK_FAILED = 1 };

struct FileCloser {
    void operator()(FILE* file) const { fclose(file); }
};
using File = std::unique_ptr<FILE, FileCloser>;

// The transfer under way is written to a partial file beside its target, which takes the
// target's name only once its CRC is good: until then the previous file stays as it was.
File fp_transmit;
std::string transmit_partial_name;
// 1 from a good prepare until the last packet: data reports after it are not the transfer's.
bool transmit_receiving;
// When the transfer under way last heard from the host.
std::chrono::steady_clock::time_point transmit_last_report;
// A host that sends nothing for this long has left its transfer; the same span after which the
// main thread declares a package transfer failed.
constexpr std::chrono::seconds TRANSFER_IDLE_LIMIT{15};
// Disks under /media already cleared of partial files, so each is cleared once per appearance.
std::set<std::string> cleared_disks;
// Partial files of packages can sit anywhere in the media trees below the product directory.
constexpr int PRODUCT_TREE_DEPTH = 16;
uint8_t file_buf[VERIFY_BLOCK_SIZE];
char fw_update_path[PATH_BUF_SIZE];

constexpr mode_t PRODUCT_DIR_MODE = 0755;

bool has_space(family which, uint32_t size, int64_t free_kib, const char* func)
{
    const char* line = "%s: udisk size is not enough. file size %lld, free size %lld\n";
    if (which == family::firmware && FIRMWARE_ROOM_IN_BYTES)
        which = family::file;
    switch (which) {
    case family::file:
        if (size <= free_kib * KIB)
            return true;
        printf(line, func, static_cast<long long>(size), static_cast<long long>(free_kib * KIB));
        return false;
    case family::firmware:
        if (size / KIB <= free_kib)
            return true;
        printf(line, func, static_cast<long long>(size), static_cast<long long>(free_kib));
        return false;
    case family::package:
        if (size / KIB * PACKAGE_SPACE_FACTOR <= free_kib)
            return true;
        printf("%s: udisk size is not enough. file size %d, free size %llu\n", func, static_cast<int>(size / KIB),
               static_cast<unsigned long long>(free_kib));
        return false;
    }
    return false;
}

// Directory the family writes into on `disk`; packages go to the product directory, made when
// missing. A product directory that is a link (to anywhere) is no target.
bool target_directory(family which, const char* disk, char* dir)
{
    if (which != family::package)
        return snprintf(dir, PATH_BUF_SIZE, "%s", disk) < static_cast<int>(PATH_BUF_SIZE);
    if (snprintf(dir, PATH_BUF_SIZE, PRODUCT_DIR_FORMAT, disk) >= static_cast<int>(PATH_BUF_SIZE))
        return false;
    mkdir(dir, PRODUCT_DIR_MODE);
    return is_real_directory(dir);
}

uint8_t choose_target(family which, uint32_t size, const char* name_field, const char* func)
{
    char name[PREPARE_NAME_FIELD];
    if (!copy_file_name(reinterpret_cast<const uint8_t*>(name_field), PREPARE_NAME_FIELD, name)) {
        printf("%s: invalid file name.\n", func);
        return PREPARE_NO_DISK;
    }
    char disk[PATH_BUF_SIZE] = {};
    long long free_kib = find_available_disk(disk);
    // Every disk full: there is an answer but no disk to write to.
    if (free_kib < 0 || disk[0] == '\0') {
        printf("%s: no udisk.\n", func);
        return PREPARE_NO_DISK;
    }
    if (!has_space(which, size, free_kib, func))
        return PREPARE_NO_SPACE;
    char dir[PATH_BUF_SIZE];
    char file[PATH_BUF_SIZE];
    if (!target_directory(which, disk, dir) || !join_path(dir, name, file)) {
        printf("%s: invalid file name.\n", func);
        return PREPARE_NO_DISK;
    }
    memcpy(transmit_file_name, file, sizeof file);
    memcpy(transmit_file_path, dir, sizeof dir);
    return PREPARE_READY;
}

// A new transfer abandons the one before. A count of 0 announces an empty file: it takes no
// data reports.
void start_receiving()
{
    close_transmit_file();
    transmit_partial_name = partial_path(transmit_file_name);
    fp_transmit.reset(create_stream_nofollow(transmit_partial_name.c_str(), "wb+"));
    if (!fp_transmit) {
        printf("start_receiving Failed to open %s\n", transmit_partial_name.c_str());
        transmit_partial_name.clear();
        return;
    }
    transmit_receiving = transmit_packet_size > 0;
    transmit_last_report = std::chrono::steady_clock::now();
}

int transfer_prepare(const transfer_kind& kind, const uint8_t* report, const char* func)
{
    const char* name = reinterpret_cast<const char*>(report + OFFSET_NAME);
    uint32_t size = get_u32(report + OFFSET_SIZE);
    uint32_t count = get_u32(report + OFFSET_COUNT);
    printf("%s file name: %.*s\n", func, static_cast<int>(strnlen(name, PREPARE_NAME_FIELD)), name);
    print_prepare_sizes(func, size, count);

    uint8_t status = choose_target(kind.which, size, name, func);
    transmit_packet_size = count;
    if (send_reply(kind.prepare_reply, status) <= 0 || status != PREPARE_READY)
        return 0;
    if (kind.which == family::package)
        push_event(EVENT_PACKAGE_TRANSMIT_START, 0);
    start_receiving();
    return 0;
}

int transfer_data(const transfer_kind& kind, const uint8_t* report)
{
    if (kind.which == family::package)
        package_transmit_reset();
    uint32_t packet_id = get_u32(report + OFFSET_PACKET_ID);
    size_t length = report[OFFSET_LENGTH];
    if (!transmit_receiving || packet_id > transmit_packet_size || length > PAYLOAD_MAX)
        return 0;
    transmit_last_report = std::chrono::steady_clock::now();
    fwrite(report + OFFSET_PAYLOAD, 1, length, fp_transmit.get());
    if (packet_id >= transmit_packet_size - 1)
        transmit_receiving = false;
    return 0;
}

uint8_t check_crc(FILE* file, uint32_t expected, const char* func)
{
    struct stat st;
    long long total = fstat(fileno(file), &st) == 0 ? static_cast<long long>(st.st_size) : -1;
    printf("%s: total_size=%lld\n", func, total);
    printf("%s: packet_size=%lld\n", func, total / static_cast<long long>(VERIFY_BLOCK_SIZE));
    printf("%s: remain_size=%lld\n", func, total % static_cast<long long>(VERIFY_BLOCK_SIZE));
    uint32_t crc = 0;
    size_t length;
    while ((length = fread(file_buf, 1, sizeof file_buf, file)) > 0)
        crc = crc32_calc_with_value(file_buf, length, crc);
    printf("tx file crc32: %08x\n", expected);
    printf("rx file crc32: %08x\n", crc);
    if (crc != expected)
        return VERIFY_FAILED;
    printf("%s: ok\n", func);
    return VERIFY_OK;
}

// The transfer under way takes its target's name only with a good CRC; a bad one is removed.
// Without one (a verify sent again) the file already under the name is checked.
uint8_t verify_file(uint32_t expected, const char* func)
{
    if (!fp_transmit) {
        File file(open_stream_nofollow(transmit_file_name));
        if (!file) {
            printf("%s Failed to open %s\n", func, transmit_file_name);
            return VERIFY_FAILED;
        }
        return check_crc(file.get(), expected, func);
    }
    fflush(fp_transmit.get());
    rewind(fp_transmit.get());
    uint8_t status = check_crc(fp_transmit.get(), expected, func);
    if (status == VERIFY_OK && commit_partial(fileno(fp_transmit.get()), transmit_partial_name, transmit_file_name) != 0)
        status = VERIFY_FAILED;
    // Committed or not, the partial file is gone from under its own name.
    if (status == VERIFY_OK)
        transmit_partial_name.clear();
    close_transmit_file();
    return status;
}

// The package goes only after a good unpack, whose files are then on the disk, so that a failed
// or cut one can be retried from it. The room is what the disk (the product directory's parent,
// as df names its mount) has now, with the package on it.
void unpack_received_package()
{
    push_event(EVENT_PACKAGE_DECOMPRESS_START, 0);
    print_time("decompress start");
    std::string disk(transmit_file_path, strrchr(transmit_file_path, '/'));
    long long free_kib = get_disk_free_size(disk.c_str());
    int result = free_kib < 0 ? -1 : unpack_package(transmit_file_name, transmit_file_path, free_kib * KIB);
    if (result == 0)
        unlink(transmit_file_name);
    // The removal is on the disk too before the host is told.
    UniqueFD dir(open(transmit_file_path, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dir.valid())
        fsync(dir.get());
    push_event(EVENT_PACKAGE_DECOMPRESS_END, 0);
    print_time("decompress end");
    send_reply(CMD_PACKAGE_UNPACKED, result == 0 ? UNPACK_OK : UNPACK_FAILED);
}

int transfer_verify(const transfer_kind& kind, const uint8_t* report, const char* func)
{
    printf("%s: start\n", func);
    uint8_t status = verify_file(get_u32(report + OFFSET_CRC), func);
    // A refused image stays on the disk, where its owner can see it, and goes nowhere.
    if (kind.which == family::firmware && status == VERIFY_OK && check_firmware_image(transmit_file_name) != 0)
        status = VERIFY_FAILED;
    if (kind.which == family::firmware && status == VERIFY_OK) {
        memcpy(fw_update_path, transmit_file_name, sizeof fw_update_path);
        push_event_with_para(EVENT_FW_UPDATE, fw_update_path);
    }
    send_reply(kind.verify_reply, status);
    if (kind.which != family::package)
        return 0;
    push_event(EVENT_PACKAGE_TRANSMIT_END, status);
    if (status == VERIFY_OK)
        unpack_received_package();
    return 0;
}

} // namespace

void close_transmit_file()
{
    fp_transmit.reset();
    transmit_receiving = false;
    if (transmit_partial_name.empty())
        return;
    unlink(transmit_partial_name.c_str());
    printf("close_transmit_file: unfinished %s removed\n", transmit_file_name);
    transmit_partial_name.clear();
}

void clear_new_disks()
{
    std::set<std::string> present;
    for_each_subdirectory(board_path("/media"), [&present](const std::string& disk) {
        present.insert(disk);
        if (cleared_disks.count(disk))
            return false;
        char product[PATH_BUF_SIZE];
        int removed = remove_partial_files(disk, 0);
        if (snprintf(product, sizeof product, PRODUCT_DIR_FORMAT, disk.c_str()) < static_cast<int>(sizeof product))
            removed += remove_partial_files(product, PRODUCT_TREE_DEPTH);
        printf("clear_new_disks: %d unfinished files removed from %s\n", removed, disk.c_str());
        return false;
    });
    // A disk that went away is cleared again when it comes back.
    cleared_disks = std::move(present);
}

void transfer_idle_tick()
{
    if (fp_transmit && std::chrono::steady_clock::now() - transmit_last_report > TRANSFER_IDLE_LIMIT) {
        printf("transfer_idle_tick: the host stopped sending\n");
        close_transmit_file();
    }
    // Only between transfers, so that a partial file is never taken from under a live one.
    if (!fp_transmit)
        clear_new_disks();
}

bool copy_file_name(const uint8_t* field, size_t field_size, char* out)
{
    const char* name = reinterpret_cast<const char*>(field);
    size_t length = strnlen(name, field_size);
    if (length == field_size)
        return false;
    memcpy(out, name, length + 1);
    return length > 0 && !memchr(name, '/', length) && strcmp(name, ".") != 0 && strcmp(name, "..") != 0;
}

bool join_path(const char* dir, const char* name, char* out)
{
    return snprintf(out, PATH_BUF_SIZE, "%s/%s", dir, name) < static_cast<int>(PATH_BUF_SIZE);
}

void print_prepare_sizes(const char* func, uint32_t size, uint32_t count)
{
    printf("%s file size: %u\n", func, static_cast<unsigned>(size));
    printf("%s packet size: %u\n", func, static_cast<unsigned>(count));
}

int response_file_transmit_prepare(const uint8_t* report)
{
    return transfer_prepare(FILE_TRANSFER, report, __func__);
}

int response_file_transmit_data(const uint8_t* report)
{
    return transfer_data(FILE_TRANSFER, report);
}

int response_file_transmit_verify(const uint8_t* report)
{
    return transfer_verify(FILE_TRANSFER, report, __func__);
}

int response_fw_update_prepare(const uint8_t* report)
{
    return transfer_prepare(FIRMWARE_TRANSFER, report, __func__);
}

int response_fw_update_data(const uint8_t* report)
{
    return transfer_data(FIRMWARE_TRANSFER, report);
}

int response_fw_update_verify(const uint8_t* report)
{
    return transfer_verify(FIRMWARE_TRANSFER, report, __func__);
}

int response_package_transmit_prepare(const uint8_t* report)
{
    return transfer_prepare(PACKAGE_TRANSFER, report, __func__);
}

int response_package_transmit_data(const uint8_t* report)
{
    return transfer_data(PACKAGE_TRANSFER, report);
}

int response_package_transmit_verify(const uint8_t* report)
{
    return transfer_verify(PACKAGE_TRANSFER, report, __func__);
}
