// Banner-info messages (a JSON text naming the running game) and show-image transfers (a picture
// with its JSON text), each ending in a banner info message for the main thread.
#include "core/board_root.h"
#include "core/durable_file.h"
#include "core/events.h"
#include "hostlink/banner_info.h"
#include "hostlink/crc32.h"
#include "hostlink/hid_dev.h"
#include "hostlink/transfer_state.h"
#include "hostlink/wire.h"

#include <cjson/cJSON.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace {

// The text must stay terminated inside data_buf, so a message holds one byte less.
constexpr size_t DATA_BUF_SIZE = 4096;
constexpr size_t DATA_TEXT_MAX = DATA_BUF_SIZE - 1;
constexpr size_t SHOW_IMAGE_TEXT_SIZE = 512;
constexpr const char* SHOW_IMAGE_DIR = "/tmp";

enum : uint8_t { STATUS_OK = 0, STATUS_FAILED = 1 };

char data_buf[DATA_BUF_SIZE];
uint32_t data_index;
uint32_t data_size;
uint32_t data_crc32;
uint32_t data_packet_size;
int data_transmit_state;
// Some payload did not fit data_buf: the message cannot be the one announced.
bool data_overflow;

uint8_t show_image_buf[SHOW_IMAGE_MAX_PAYLOAD];
uint32_t show_image_buf_size;
char show_image_data[SHOW_IMAGE_TEXT_SIZE];

struct JsonDeleter {
    void operator()(cJSON* json) const { cJSON_Delete(json); }
    void operator()(char* text) const { cJSON_free(text); }
};
struct FreeDeleter {
    void operator()(void* block) const { free(block); }
};
using Message = std::unique_ptr<banner_info_msg, FreeDeleter>;

void print_slot(const cJSON* json, const char* key, char* slot, size_t size)
{
    const cJSON* item = cJSON_GetObjectItem(json, key);
    if (!item)
        return;
    std::unique_ptr<char, JsonDeleter> printed(cJSON_Print(item));
    if (printed)
        snprintf(slot, size, "%s", printed.get());
}

Message build_message(const char* text)
{
    std::unique_ptr<cJSON, JsonDeleter> json(cJSON_Parse(text));
    if (!json) {
        const char* error = cJSON_GetErrorPtr();
        printf("Error before: [%s]\n", error ? error : "");
        return nullptr;
    }
    Message message(static_cast<banner_info_msg*>(calloc(1, sizeof(banner_info_msg))));
    if (!message)
        return nullptr;
    print_slot(json.get(), "type", message->type, sizeof message->type);
    print_slot(json.get(), "title", message->title, sizeof message->title);
    print_slot(json.get(), "leaderboard", message->leaderboard, sizeof message->leaderboard);
    print_slot(json.get(), "romname", message->romname, sizeof message->romname);
#ifndef TAVIMORO_FACTORY
    print_slot(json.get(), "title2", message->title2, sizeof message->title2);
#endif
    return message;
}

// Payload length of a data report, or -1 when the report claims more than it can carry.
int payload_length(const uint8_t* report)
{
    size_t length = report[OFFSET_LENGTH];
    return length <= PAYLOAD_MAX ? static_cast<int>(length) : -1;
}

void finish_message(const char* func)
{
    data_transmit_state = 0;
    uint32_t crc = crc32_calc(data_buf, std::min<size_t>(data_size, DATA_BUF_SIZE));
    printf("%s: new crc32 %08X\n", func, crc);
    uint8_t status = STATUS_FAILED;
    if (crc == data_crc32 && data_size <= DATA_TEXT_MAX && !data_overflow) {
        status = STATUS_OK;
        // Only the announced bytes make up the text.
        data_buf[data_size] = '\0';
        printf("%s: data ready\n", func);
        printf("%s\n", data_buf);
    }
    send_reply(CMD_MESSAGE_DATA, status);
    if (status == STATUS_OK)
        parse_transmit_data(data_buf);
}

// The JSON text of the show-image payload: from `offset` to its zero byte, at most `size`
// bytes, cut to show_image_data.
void copy_show_image_text(uint64_t offset, uint32_t size)
{
    memset(show_image_data, 0, sizeof show_image_data);
    size_t length = std::min<uint64_t>(size, sizeof show_image_data - 1);
    const char* text = reinterpret_cast<const char*>(show_image_buf + offset);
    memcpy(show_image_data, text, strnlen(text, length));
}

void store_picture(uint32_t size, const char* func)
{
    if (write_file_durably(transmit_file_name, show_image_buf + SHOW_IMAGE_HEADER_SIZE, size) != 0)
        printf("%s Failed to open %s\n", func, transmit_file_name);
}

void show_image(uint32_t picture_size, uint32_t text_size, const char* func)
{
    copy_show_image_text(SHOW_IMAGE_HEADER_SIZE + uint64_t(picture_size), text_size);
    banner_info_msg* message = parse_show_image_data(show_image_data);
    printf("%s: ok\n", func);
    store_picture(picture_size, func);
    // The path goes with the event as a heap copy the main thread frees: a buffer of the reader's
    // would be overwritten by the next picture while the main thread still reads it.
    push_event_with_para2(EVENT_SHOW_IMAGE, strdup(transmit_file_name), message);
}

} // namespace

int parse_transmit_data(char* text)
{
    Message message = build_message(text);
    if (!message)
        return -1;
    push_event_with_para(EVENT_BANNER_INFO, message.release());
    return 0;
}

banner_info_msg* parse_show_image_data(char* text)
{
    return build_message(text).release();
}

std::string board_lookup_text(const char* text)
{
    static_assert(BANNER_INFO_ROMNAME_SIZE == BANNER_INFO_TITLE2_SIZE);
    std::unique_ptr<cJSON, JsonDeleter> json(cJSON_CreateObject());
    cJSON_AddStringToObject(json.get(), "romname", text);
    char printed[BANNER_INFO_ROMNAME_SIZE] = {};
    char kept[BANNER_INFO_ROMNAME_SIZE] = {};
    print_slot(json.get(), "romname", printed, sizeof printed);
    strip_copy(kept, printed);
    return kept;
}

int response_data_transmit_prepare(const uint8_t* report)
{
    uint32_t crc = get_u32(report + OFFSET_NAME);
    uint32_t size = get_u32(report + OFFSET_SIZE);
    uint32_t count = get_u32(report + OFFSET_COUNT);
    printf("%s crc32: %8X\n", __func__, crc);
    print_prepare_sizes(__func__, size, count);
    data_crc32 = crc;
    data_size = size;
    data_packet_size = count;
    if (send_reply(CMD_MESSAGE_PREPARE, STATUS_OK) <= 0)
        return 0;
    data_transmit_state = 1;
    memset(data_buf, 0, sizeof data_buf);
    data_index = 0;
    data_overflow = false;
    return 0;
}

int response_data_transmit_data(const uint8_t* report)
{
    if (data_transmit_state == 0)
        return 0;
    uint32_t packet_id = get_u32(report + OFFSET_PACKET_ID);
    printf("%s data_info->packet_id=%d\n", __func__, static_cast<int>(packet_id));
    int length = payload_length(report);
    if (packet_id > data_packet_size || length < 0)
        return 0;
    if (data_index + length <= DATA_TEXT_MAX) {
        memcpy(data_buf + data_index, report + OFFSET_PAYLOAD, length);
        data_index += length;
    } else {
        data_overflow = true;
    }
    if (packet_id >= data_packet_size - 1)
        finish_message(__func__);
    return 0;
}

int response_show_image_prepare(const uint8_t* report)
{
    const char* field = reinterpret_cast<const char*>(report + OFFSET_NAME);
    printf("%s file name: %.*s\n", __func__, static_cast<int>(strnlen(field, PREPARE_NAME_FIELD)), field);
    print_prepare_sizes(__func__, get_u32(report + OFFSET_SIZE), get_u32(report + OFFSET_COUNT));
    // The picture must land in the show-image directory and nowhere else.
    char name[PREPARE_NAME_FIELD];
    char target[PATH_BUF_SIZE];
    if (!copy_file_name(report + OFFSET_NAME, PREPARE_NAME_FIELD, name) ||
        !join_path(board_path(SHOW_IMAGE_DIR).c_str(), name, target)) {
        send_reply(CMD_IMAGE_PREPARE, STATUS_FAILED);
        return 0;
    }
    memcpy(transmit_file_name, target, sizeof target);
    transmit_packet_size = get_u32(report + OFFSET_COUNT);
    if (send_reply(CMD_IMAGE_PREPARE, STATUS_OK) <= 0)
        return 0;
    close_transmit_file();
    show_image_buf_size = 0;
    memset(show_image_buf, 0, sizeof show_image_buf);
    return 0;
}

int response_show_image_data(const uint8_t* report)
{
    uint32_t packet_id = get_u32(report + OFFSET_PACKET_ID);
    int length = payload_length(report);
    if (packet_id > transmit_packet_size || length < 0)
        return 0;
    // Beyond the largest payload nothing is kept; the verify judges what fits.
    size_t kept = std::min<size_t>(length, sizeof show_image_buf - show_image_buf_size);
    memcpy(show_image_buf + show_image_buf_size, report + OFFSET_PAYLOAD, kept);
    show_image_buf_size += kept;
    return 0;
}

int response_show_image_verify(const uint8_t* report)
{
    printf("%s: start\n", __func__);
    uint32_t picture_size = get_u32(show_image_buf);
    uint32_t text_size = get_u32(show_image_buf + 4);
    // In 64 bits: two large sizes must not wrap around to a small total.
    uint64_t total = SHOW_IMAGE_HEADER_SIZE + uint64_t(picture_size) + text_size;
    printf("%s: file size %u\n", __func__, picture_size);
    printf("%s: text size %u\n", __func__, text_size);
    printf("%s: total size %llu\n", __func__, static_cast<unsigned long long>(total));
    uint8_t status = STATUS_FAILED;
    if (total <= SHOW_IMAGE_MAX_PAYLOAD) {
        uint32_t expected = get_u32(report + OFFSET_CRC);
        uint32_t crc = crc32_calc(show_image_buf, total);
        printf("tx file crc32: %08x\n", expected);
        printf("rx file crc32: %08x\n", crc);
        if (crc == expected) {
            status = STATUS_OK;
            show_image(picture_size, text_size, __func__);
        }
    }
    if (send_reply(CMD_IMAGE_VERIFY, status) > 0)
        close_transmit_file();
    return 0;
}
