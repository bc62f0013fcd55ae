// The three pages a recovery command leaves on the misc partition, built independently of the
// writer so tests can compare byte for byte.
#pragma once

#include <cstring>
#include <string>

namespace misc_test {

inline constexpr size_t PAGE = 16384;
inline constexpr size_t PAGES = 3;

inline std::string expected_misc_image(const std::string& package)
{
    std::string image(PAGES * PAGE, '\0');
    const std::string command = "boot-recovery";
    const std::string recovery = "recovery\n--update_rkimage=/mnt/usb_storage" + package;
    image.replace(PAGE, command.size(), command);
    image.replace(PAGE + 64, recovery.size(), recovery);
    return image;
}

} // namespace misc_test
