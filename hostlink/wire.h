// The host link's wire format: report layouts, command codes and replies, one definition for
// the player and the host tool.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

inline constexpr size_t REPORT_SIZE = 64;
using hid_report = std::array<uint8_t, REPORT_SIZE>;

inline constexpr uint8_t REPORT_MAGIC_0 = 0xAA;
inline constexpr uint8_t REPORT_MAGIC_1 = 0x55;

// Byte offsets in a report.
inline constexpr size_t OFFSET_COMMAND = 2;
inline constexpr size_t OFFSET_LENGTH = 3;   // data reports: payload length
inline constexpr size_t OFFSET_SIZE = 4;     // prepare: size in bytes
inline constexpr size_t OFFSET_COUNT = 8;    // prepare: number of data reports
inline constexpr size_t OFFSET_NAME = 12;    // file prepare: name; message prepare: CRC
inline constexpr size_t OFFSET_PACKET_ID = 4;
inline constexpr size_t OFFSET_PAYLOAD = 8;
inline constexpr size_t OFFSET_CRC = 4;      // verify: CRC of the whole data
inline constexpr size_t OFFSET_FIRMWARE_NAME = 4;
inline constexpr size_t OFFSET_STATUS = 4;   // reply

inline constexpr size_t PAYLOAD_MAX = REPORT_SIZE - OFFSET_PAYLOAD;               // 56
inline constexpr size_t PREPARE_NAME_FIELD = REPORT_SIZE - OFFSET_NAME;           // 52
inline constexpr size_t FIRMWARE_NAME_FIELD = REPORT_SIZE - OFFSET_FIRMWARE_NAME; // 60
inline constexpr uint8_t REPLY_STATUS_LENGTH = 1;

enum : uint8_t {
    CMD_FILE_PREPARE = 0xF1,
    CMD_FILE_DATA = 0xF2,
    CMD_FILE_VERIFY = 0xF3,
    CMD_FIRMWARE_UPDATE = 0xF4,
    CMD_CONNECT_STATE = 0xF5,
    CMD_MESSAGE_PREPARE = 0xE1,
    CMD_MESSAGE_DATA = 0xE2,
    CMD_IMAGE_PREPARE = 0xD1,
    CMD_IMAGE_DATA = 0xD2,
    CMD_IMAGE_VERIFY = 0xD3,
    CMD_FW_PREPARE = 0xC1,
    CMD_FW_DATA = 0xC2,
    CMD_FW_VERIFY = 0xC3,
    CMD_PACKAGE_PREPARE = 0xB1,
    CMD_PACKAGE_DATA = 0xB2,
    CMD_PACKAGE_VERIFY = 0xB3,
    CMD_PACKAGE_UNPACKED = 0xB4, // reply only: the package has been unpacked
};

// Show-image payload: picture size and text size, then the picture and the text.
inline constexpr size_t SHOW_IMAGE_HEADER_SIZE = 8;
inline constexpr size_t SHOW_IMAGE_MAX_PAYLOAD = 512000;

inline uint32_t get_u32(const uint8_t* p)
{
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

inline void put_u32(uint8_t* p, uint32_t value)
{
    for (int i = 0; i < 4; i++)
        p[i] = uint8_t(value >> (8 * i));
}

inline bool has_report_magic(const uint8_t* report)
{
    return report[0] == REPORT_MAGIC_0 && report[1] == REPORT_MAGIC_1;
}

// Number of data reports that carry `size` bytes.
inline uint32_t packet_count(uint64_t size)
{
    return uint32_t((size + PAYLOAD_MAX - 1) / PAYLOAD_MAX);
}

// Zeroes `report` and writes the header of a report with `command`.
inline void start_report(uint8_t* report, uint8_t command)
{
    memset(report, 0, REPORT_SIZE);
    report[0] = REPORT_MAGIC_0;
    report[1] = REPORT_MAGIC_1;
    report[OFFSET_COMMAND] = command;
}

inline void fill_reply(uint8_t* report, uint8_t command, uint8_t status)
{
    start_report(report, command);
    report[OFFSET_LENGTH] = REPLY_STATUS_LENGTH;
    report[OFFSET_STATUS] = status;
}

// Copies `name` into a name field, cut so that it stays terminated inside the field.
inline void put_name(uint8_t* field, size_t field_size, std::string_view name)
{
    memcpy(field, name.data(), name.size() < field_size ? name.size() : field_size - 1);
}

inline hid_report make_file_prepare(uint8_t command, uint32_t size, uint32_t count, std::string_view name)
{
    hid_report r;
    start_report(r.data(), command);
    put_u32(&r[OFFSET_SIZE], size);
    put_u32(&r[OFFSET_COUNT], count);
    put_name(&r[OFFSET_NAME], PREPARE_NAME_FIELD, name);
    return r;
}

inline hid_report make_message_prepare(uint32_t size, uint32_t count, uint32_t crc)
{
    hid_report r;
    start_report(r.data(), CMD_MESSAGE_PREPARE);
    put_u32(&r[OFFSET_SIZE], size);
    put_u32(&r[OFFSET_COUNT], count);
    put_u32(&r[OFFSET_NAME], crc);
    return r;
}

// A data report with up to PAYLOAD_MAX bytes of `data`.
inline hid_report make_data(uint8_t command, uint32_t packet_id, const void* data, size_t length)
{
    hid_report r;
    start_report(r.data(), command);
    if (length > PAYLOAD_MAX)
        length = PAYLOAD_MAX;
    r[OFFSET_LENGTH] = uint8_t(length);
    put_u32(&r[OFFSET_PACKET_ID], packet_id);
    memcpy(&r[OFFSET_PAYLOAD], data, length);
    return r;
}

inline hid_report make_verify(uint8_t command, uint32_t crc)
{
    hid_report r;
    start_report(r.data(), command);
    put_u32(&r[OFFSET_CRC], crc);
    return r;
}

inline hid_report make_firmware_update(std::string_view name)
{
    hid_report r;
    start_report(r.data(), CMD_FIRMWARE_UPDATE);
    put_name(&r[OFFSET_FIRMWARE_NAME], FIRMWARE_NAME_FIELD, name);
    return r;
}

inline hid_report make_request(uint8_t command)
{
    hid_report r;
    start_report(r.data(), command);
    return r;
}
