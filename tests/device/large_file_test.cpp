// A file over 2 GiB on the USB disk, past what a 32-bit long or off_t holds on the board:
// firmware images and long videos reach that size.
#include "core/common.h"
#include "core/unique_fd.h"
#include "device/update.h"
#include "tests/support/board_fixture.h"

#include <fcntl.h>
#include <unistd.h>

#include <string>

using board_test::BoardRootTest;

namespace {

class LargeFileTest : public BoardRootTest {};

// A sparse image: 2 GiB of holes cost no disk space, yet every byte is read to hash it.
TEST_F(LargeFileTest, SparseImageIsFoundMeasuredAndHashed)
{
    const std::string image = path("/media/usbhd-sda1/vorlix_update_online.img");
    constexpr off_t TAIL_OFFSET = (off_t{1} << 31) + 4096;
    {
        UniqueFD fd(open(image.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644));
        ASSERT_TRUE(fd.valid());
        ASSERT_EQ(pwrite(fd.get(), "end", 3, TAIL_OFFSET), 3);
    }
    EXPECT_EQ(file_size(image.c_str()), TAIL_OFFSET + 3);
    EXPECT_EQ(find_package(), 1);
    const char* sum = get_file_md5sum(image.c_str());
    ASSERT_NE(sum, nullptr);
    // md5sum of 2 GiB + 4 KiB of zeros followed by "end".
    EXPECT_STREQ(sum, "45e84d31a1a57568f1fb218a90845a7f");
    EXPECT_EQ(file_size(path("/media/usbhd-sda1/missing.img").c_str()), -1);
}

} // namespace
