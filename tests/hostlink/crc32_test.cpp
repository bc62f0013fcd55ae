// The host link's CRC: check values, the table, and continuation over pieces.
#include "hostlink/crc32.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(Crc32, GivesTheLinkCheckValues)
{
    init_crc32_table();
    EXPECT_EQ(crc32_table[1], 0xEDB88320u);
    EXPECT_EQ(crc32_table[2], 0x36C98560u);
    EXPECT_EQ(crc32_calc("123456789", 9), 0xFDA41140u);
    EXPECT_EQ(crc32_calc("abc", 3), 0x6B1DDC00u);
    EXPECT_EQ(crc32_calc("", 0), 0u);
}

TEST(Crc32, ContinuesOverPiecesAndIgnoresLeadingZeros)
{
    init_crc32_table();
    EXPECT_EQ(crc32_calc_with_value("56789", 5, crc32_calc("1234", 4)), 0xFDA41140u);
    std::string padded = std::string(3, '\0') + "abc";
    EXPECT_EQ(crc32_calc(padded.data(), padded.size()), 0x6B1DDC00u);
}

} // namespace
