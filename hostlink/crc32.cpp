// The host link's CRC-32, shared by the player and the host tool.
#include "hostlink/crc32.h"

uint32_t crc32_table[CRC32_TABLE_SIZE];

namespace {

constexpr uint32_t CRC32_CONSTANT = 0xEDB88320;
constexpr uint32_t TOP_BIT = 0x80000000;

} // namespace

void init_crc32_table()
{
    for (uint32_t i = 0; i < CRC32_TABLE_SIZE; i++) {
        uint32_t v = i << 24;
        for (int bit = 0; bit < 8; bit++)
            v = (v & TOP_BIT) ? (v << 1) ^ CRC32_CONSTANT : v << 1;
        crc32_table[i] = v;
    }
}

uint32_t crc32_calc(const void* data, size_t length)
{
    return crc32_calc_with_value(data, length, 0);
}

uint32_t crc32_calc_with_value(const void* data, size_t length, uint32_t crc)
{
    const auto* bytes = static_cast<const uint8_t*>(data);
    for (size_t i = 0; i < length; i++)
        crc = crc32_table[((crc >> 24) ^ bytes[i]) & 0xFF] ^ (crc << 8);
    return crc;
}
