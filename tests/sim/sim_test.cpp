// The simulator's pieces: USB link relay, screen file reader, sample media.
#include "tests/support/board_fixture.h"
#include "sim/sample_media.h"
#include "sim/screen_capture.h"
#include "sim/sim_relay.h"

#include <SDL_image.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <cstring>
#include <fstream>
#include <thread>

using board_test::BoardRootTest;

namespace {

class SimTest : public BoardRootTest {};

UniqueFD connect_to(const std::string& path)
{
    UniqueFD fd(socket(AF_UNIX, SOCK_SEQPACKET, 0));
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    if (connect(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
        return UniqueFD();
    return fd;
}

void write_screen(const std::string& file, uint64_t sequence, uint8_t red)
{
    const uint32_t width = 4, height = 2, stride = 16, format = 0;
    std::string data(64 + stride * height, '\0');
    memcpy(data.data(), "TAVSCRN1", 8);
    memcpy(data.data() + 8, &width, 4);
    memcpy(data.data() + 12, &height, 4);
    memcpy(data.data() + 16, &stride, 4);
    memcpy(data.data() + 20, &format, 4);
    memcpy(data.data() + 24, &sequence, 8);
    for (size_t i = 64; i < data.size(); i += 4)
        data[i] = static_cast<char>(red);
    std::ofstream(file, std::ios::binary) << data;
}

TEST_F(SimTest, RelayCarriesReportsBothWays)
{
    SimRelay relay;
    ASSERT_EQ(relay.open(path("/dev/hidg1"), path("/sim/host.sock")), 0);
    UniqueFD gadget = connect_to(path("/dev/hidg1"));
    UniqueFD host = connect_to(path("/sim/host.sock"));
    ASSERT_TRUE(gadget.valid() && host.valid());
    relay.step(100);  // accepts both

    unsigned char report[64] = {0xAA, 0x55, 0xF5};
    ASSERT_EQ(send(host.get(), report, sizeof report, 0), 64);
    relay.step(100);
    unsigned char got[128] = {};
    EXPECT_EQ(recv(gadget.get(), got, sizeof got, MSG_DONTWAIT), 64);
    EXPECT_EQ(memcmp(got, report, 64), 0);

    report[3] = 1;
    ASSERT_EQ(send(gadget.get(), report, sizeof report, 0), 64);
    relay.step(100);
    EXPECT_EQ(recv(host.get(), got, sizeof got, MSG_DONTWAIT), 64);
    EXPECT_EQ(got[3], 1);

    // A host that leaves is replaced by the next one.
    host.reset();
    relay.step(100);
    UniqueFD next = connect_to(path("/sim/host.sock"));
    relay.step(100);
    ASSERT_EQ(send(gadget.get(), report, sizeof report, 0), 64);
    relay.step(100);
    EXPECT_EQ(recv(next.get(), got, sizeof got, MSG_DONTWAIT), 64);
}

TEST_F(SimTest, ScreenReaderTakesOnlyCompleteFrames)
{
    ScreenImage image;
    EXPECT_EQ(read_screen(path("/sim/screen"), image), -1);
    write_screen(path("/sim/screen"), 4, 200);
    ASSERT_EQ(read_screen(path("/sim/screen"), image), 0);
    EXPECT_EQ(image.width, 4u);
    EXPECT_EQ(image.sequence, 4u);
    EXPECT_EQ(image.rgba[0], 200);
    // A frame still being written (odd sequence) never counts.
    write_screen(path("/sim/screen"), 5, 100);
    EXPECT_EQ(read_screen(path("/sim/screen"), image), -1);

    write_screen(path("/sim/screen"), 6, 100);
    ASSERT_EQ(read_screen(path("/sim/screen"), image), 0);
    ASSERT_EQ(save_screen_png(image, path("/tmp/shot.png"), 1), 0);
    SDL_Surface* shot = IMG_Load(path("/tmp/shot.png").c_str());
    ASSERT_NE(shot, nullptr);
    EXPECT_EQ(shot->w, 4);
    EXPECT_EQ(shot->h, 1);
    SDL_FreeSurface(shot);
}

TEST_F(SimTest, SamplePicturesAndClipsAreReal)
{
    ASSERT_EQ(make_sample_picture(path("/media/usbhd-sda1/a b.jpg"), 1280, 320, "A B", 0x2080C0), 0);
    SDL_Surface* picture = IMG_Load(path("/media/usbhd-sda1/a b.jpg").c_str());
    ASSERT_NE(picture, nullptr);
    EXPECT_EQ(picture->w, 1280);
    EXPECT_EQ(picture->h, 320);
    SDL_FreeSurface(picture);

    ASSERT_EQ(make_sample_clip(path("/media/usbhd-sda1/clip.mp4"), "smpte", 1, 160, 90), 0);
    std::ifstream clip(path("/media/usbhd-sda1/clip.mp4"), std::ios::binary);
    char head[8] = {};
    clip.read(head, sizeof head);
    EXPECT_EQ(std::string(head + 4, 4), "ftyp");
}

} // namespace
