// The host link's CRC-32: table-driven, most significant bit first, initial value 0, no final XOR.
#pragma once

#include <cstddef>
#include <cstdint>

inline constexpr size_t CRC32_TABLE_SIZE = 256;
extern uint32_t crc32_table[CRC32_TABLE_SIZE];

void init_crc32_table();
// CRC of `length` bytes from the initial value 0.
uint32_t crc32_calc(const void* data, size_t length);
// Continues `crc` over the next `length` bytes, so that data can be checked in pieces.
uint32_t crc32_calc_with_value(const void* data, size_t length, uint32_t crc);
