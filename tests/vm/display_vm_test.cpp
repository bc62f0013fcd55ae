// The display device on the real KMS card: bring-up takes the 60 Hz mode listed after the 75 Hz
// one, presented frames complete by event and reach the scanout, and teardown removes what it
// put on the card and leaves it free for the next bring-up.
#include "display/display_device.h"
#include "tests/vm/drm_handles.h"
#include "tests/vm/vm_board.h"

#include "core/unique_fd.h"

#include <GLES2/gl2.h>
#include <fcntl.h>
#include <xf86drm.h>
#include <xf86drmMode.h>

#include <chrono>
#include <filesystem>
#include <vector>

namespace {

constexpr int WIDTH = vm_test::SCREEN_WIDTH;
constexpr int HEIGHT = vm_test::SCREEN_HEIGHT;
constexpr int BAND_HEIGHT = 360;
constexpr unsigned REFRESH = 60;
constexpr auto FLIP_TIMEOUT = std::chrono::seconds(10);
constexpr const char* CARD = "/dev/dri/card0";

using vm_test::Connector;
using vm_test::Crtc;
using vm_test::Encoder;
using vm_test::Framebuffer;
using vm_test::Resources;

// Watches the card through a descriptor of its own, beside the display device's.
class RealDisplayTest : public vm_test::VmBoardTest {
protected:
    void SetUp() override
    {
        VmBoardTest::SetUp();
        if (IsSkipped())
            return;
        g_evctx = {};
        g_evctx.version = 3;
        g_evctx.page_flip_handler = page_flip_handler;
        observer_ = UniqueFD(open(CARD, O_RDWR | O_CLOEXEC));
        ASSERT_TRUE(observer_.valid());
        // The first descriptor of a card becomes its master; the display device needs to be.
        drmDropMaster(observer_.get());
    }

    // The CRTC driving the card's first connector.
    Crtc connector_crtc() const
    {
        Resources resources(drmModeGetResources(observer_.get()));
        if (!resources || resources->count_connectors < 1)
            return nullptr;
        Connector connector(drmModeGetConnector(observer_.get(), resources->connectors[0]));
        Encoder encoder(connector ? drmModeGetEncoder(observer_.get(), connector->encoder_id) : nullptr);
        return Crtc(encoder ? drmModeGetCrtc(observer_.get(), encoder->crtc_id) : nullptr);
    }

    // Whether this process holds the card open other than through the observer.
    bool card_open_elsewhere() const
    {
        for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
            std::error_code ignored;
            bool card = std::filesystem::read_symlink(entry.path(), ignored) == CARD;
            if (card && entry.path().filename() != std::to_string(observer_.get()))
                return true;
        }
        return false;
    }

    UniqueFD observer_;
};

float channel(uint32_t rgb, int shift)
{
    return float((rgb >> shift) & 0xff) / 255.0f;
}

void clear_to(uint32_t rgb)
{
    glClearColor(channel(rgb, 16), channel(rgb, 8), channel(rgb, 0), 1.0f);
    glClear(GL_COLOR_BUFFER_BIT);
}

// Presents a frame of `colour` with its top band in `band`, and waits for its flip to complete.
bool present(uint32_t colour, uint32_t band)
{
    glDisable(GL_SCISSOR_TEST);
    clear_to(colour);
    // GL counts rows from the bottom: the top band starts HEIGHT - BAND_HEIGHT rows up.
    glEnable(GL_SCISSOR_TEST);
    glScissor(0, HEIGHT - BAND_HEIGHT, WIDTH, BAND_HEIGHT);
    clear_to(band);
    swapBuffers();
    return board_test::wait_until([] { return wait_flip(false) == 0; }, FLIP_TIMEOUT);
}

TEST_F(RealDisplayTest, BringsUpThe60HzModeAndFlipsFramesByEventToTheScanout)
{
    testing::internal::CaptureStdout();
    int result = initVideo();
    std::string log = testing::internal::GetCapturedStdout();
    ASSERT_EQ(result, 0) << log;
    EXPECT_NE(log.find("FOUND 1920x1080, 60Hz\n"), std::string::npos) << log;
    Crtc crtc = connector_crtc();
    ASSERT_TRUE(crtc);
    EXPECT_TRUE(crtc->mode_valid);
    EXPECT_EQ(crtc->mode.vrefresh, REFRESH);
    EXPECT_EQ(crtc->mode.hdisplay, WIDTH);
    EXPECT_EQ(crtc->mode.vdisplay, HEIGHT);

    constexpr uint32_t FRAMES[][2] = {{0x203040, 0xe02010}, {0x102080, 0x20c040}, {0x000000, 0xf0f0f0}};
    for (const auto& [colour, band] : FRAMES) {
        ASSERT_TRUE(present(colour, band)) << "no flip-complete event";
        vm_test::Screen screen;
        ASSERT_TRUE(vm_test::screendump(screen));
        ASSERT_EQ(screen.width, WIDTH);
        ASSERT_EQ(screen.height, HEIGHT);
        for (int x : {0, WIDTH / 2, WIDTH - 1}) {
            EXPECT_EQ(screen.pixel(x, 0), band);
            EXPECT_EQ(screen.pixel(x, BAND_HEIGHT - 1), band);
            EXPECT_EQ(screen.pixel(x, BAND_HEIGHT), colour);
            EXPECT_EQ(screen.pixel(x, HEIGHT - 1), colour);
        }
    }
    cleanVideo();
}

TEST_F(RealDisplayTest, TeardownRemovesItsFramebuffersAndFreesTheCard)
{
    for (int round = 0; round < 2; ++round) {
        ASSERT_EQ(initVideo(), 0) << "bring-up " << round;
        std::vector<uint32_t> shown;
        for (uint32_t colour : {0x405060u, 0x506070u}) {
            ASSERT_TRUE(present(colour, colour));
            Crtc crtc = connector_crtc();
            ASSERT_TRUE(crtc);
            shown.push_back(crtc->buffer_id);
        }
        cleanVideo();
        EXPECT_FALSE(card_open_elsewhere());
        for (uint32_t fb : shown)
            EXPECT_FALSE(Framebuffer(drmModeGetFB(observer_.get(), fb))) << "framebuffer " << fb << " survived";
    }
}

} // namespace
