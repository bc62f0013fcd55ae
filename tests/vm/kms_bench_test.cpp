// The bench's KMS card: the mode list the display device must search, and page flips that
// complete by event and reach the scanout the host sees.
#include "tests/vm/drm_handles.h"
#include "tests/vm/vm_board.h"

#include "core/board_root.h"
#include "core/unique_fd.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/mman.h>
#include <xf86drm.h>
#include <xf86drmMode.h>

#include <algorithm>
#include <cstring>

namespace {

constexpr int WIDTH = vm_test::SCREEN_WIDTH;
constexpr int HEIGHT = vm_test::SCREEN_HEIGHT;
constexpr int BITS_PER_PIXEL = 32;
constexpr int DEPTH = 24;
constexpr unsigned WANTED_REFRESH = 60;
constexpr unsigned FIRST_REFRESH = 75;
constexpr int FLIP_TIMEOUT_MS = 10000;
constexpr int FLIPS = 4;

using vm_test::Connector;
using vm_test::Encoder;
using vm_test::Resources;

// A dumb buffer filled with one colour, registered as a framebuffer for as long as it lives.
class DumbFrame {
public:
    DumbFrame(int fd, uint32_t xrgb) : fd_(fd)
    {
        drm_mode_create_dumb create = {};
        create.width = WIDTH;
        create.height = HEIGHT;
        create.bpp = BITS_PER_PIXEL;
        if (drmIoctl(fd, DRM_IOCTL_MODE_CREATE_DUMB, &create) != 0)
            return;
        handle_ = create.handle;
        if (drmModeAddFB(fd, WIDTH, HEIGHT, DEPTH, BITS_PER_PIXEL, create.pitch, handle_, &fb_) != 0)
            return;
        drm_mode_map_dumb map = {};
        map.handle = handle_;
        if (drmIoctl(fd, DRM_IOCTL_MODE_MAP_DUMB, &map) != 0)
            return;
        void* pixels = mmap(nullptr, create.size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, off_t(map.offset));
        if (pixels == MAP_FAILED)
            return;
        std::fill_n(static_cast<uint32_t*>(pixels), create.size / sizeof(uint32_t), xrgb);
        munmap(pixels, create.size);
        filled_ = true;
    }
    ~DumbFrame()
    {
        if (fb_)
            drmModeRmFB(fd_, fb_);
        if (handle_) {
            drm_mode_destroy_dumb destroy = {};
            destroy.handle = handle_;
            drmIoctl(fd_, DRM_IOCTL_MODE_DESTROY_DUMB, &destroy);
        }
    }
    DumbFrame(const DumbFrame&) = delete;
    DumbFrame& operator=(const DumbFrame&) = delete;

    bool ready() const { return filled_; }
    uint32_t fb() const { return fb_; }

private:
    int fd_;
    uint32_t handle_ = 0;
    uint32_t fb_ = 0;
    bool filled_ = false;
};

class KmsCardTest : public vm_test::VmBoardTest {
protected:
    void SetUp() override
    {
        VmBoardTest::SetUp();
        if (IsSkipped())
            return;
        card_ = UniqueFD(open(board_path("/dev/dri/card0").c_str(), O_RDWR | O_CLOEXEC));
        ASSERT_TRUE(card_.valid()) << strerror(errno);
        resources_.reset(drmModeGetResources(card_.get()));
        ASSERT_TRUE(resources_);
        ASSERT_GT(resources_->count_connectors, 0);
        connector_.reset(drmModeGetConnector(card_.get(), resources_->connectors[0]));
        ASSERT_TRUE(connector_);
    }

    // Index of the first "1920x1080" mode at `refresh` Hz, or -1.
    int find_mode(unsigned refresh) const
    {
        for (int i = 0; i < connector_->count_modes; ++i) {
            const drmModeModeInfo& mode = connector_->modes[i];
            if (strcmp(mode.name, "1920x1080") == 0 && mode.vrefresh == refresh)
                return i;
        }
        return -1;
    }

    UniqueFD card_;
    Resources resources_;
    Connector connector_;
};

TEST_F(KmsCardTest, OffersThe60HzModeOnlyAfterThe75HzOne)
{
    EXPECT_EQ(connector_->connection, DRM_MODE_CONNECTED);
    ASSERT_GT(connector_->count_modes, 0);
    EXPECT_STREQ(connector_->modes[0].name, "1920x1080");
    EXPECT_EQ(connector_->modes[0].vrefresh, FIRST_REFRESH);
    EXPECT_GT(find_mode(WANTED_REFRESH), 0);
    // The display device keeps the CRTC the boot left attached, so one must be there.
    EXPECT_NE(connector_->encoder_id, 0u);
}

void on_flip(int, unsigned, unsigned, unsigned, void* data)
{
    ++*static_cast<int*>(data);
}

// Waits for one page-flip event and dispatches it; false on timeout or error.
bool wait_flip_event(int fd, drmEventContext& events)
{
    pollfd card = {fd, POLLIN, 0};
    int ready;
    // A signal may cut the wait short; that is no verdict on the flip.
    do {
        ready = poll(&card, 1, FLIP_TIMEOUT_MS);
    } while (ready < 0 && errno == EINTR);
    return ready == 1 && (card.revents & POLLIN) && drmHandleEvent(fd, &events) == 0;
}

TEST_F(KmsCardTest, FlipsCompleteByEventAndReachTheScanout)
{
    int mode = find_mode(WANTED_REFRESH);
    ASSERT_GE(mode, 0);
    EXPECT_EQ(drmSetMaster(card_.get()), 0);
    Encoder encoder(drmModeGetEncoder(card_.get(), connector_->encoder_id));
    ASSERT_TRUE(encoder);
    ASSERT_NE(encoder->crtc_id, 0u);

    constexpr uint32_t COLOURS[2] = {0x00c02040, 0x0030a0e0};
    DumbFrame frames[2] = {{card_.get(), COLOURS[0]}, {card_.get(), COLOURS[1]}};
    ASSERT_TRUE(frames[0].ready() && frames[1].ready());
    uint32_t connector_id = connector_->connector_id;
    ASSERT_EQ(drmModeSetCrtc(card_.get(), encoder->crtc_id, frames[0].fb(), 0, 0, &connector_id, 1,
                             &connector_->modes[mode]), 0);

    int completed = 0;
    drmEventContext events = {};
    events.version = 3;
    events.page_flip_handler = on_flip;
    for (int i = 1; i <= FLIPS; ++i) {
        ASSERT_EQ(drmModePageFlip(card_.get(), encoder->crtc_id, frames[i % 2].fb(),
                                  DRM_MODE_PAGE_FLIP_EVENT, &completed), 0);
        ASSERT_TRUE(wait_flip_event(card_.get(), events)) << "flip " << i << " sent no event";
        EXPECT_EQ(completed, i);
    }

    vm_test::Screen screen;
    ASSERT_TRUE(vm_test::screendump(screen));
    ASSERT_EQ(screen.width, WIDTH);
    ASSERT_EQ(screen.height, HEIGHT);
    uint32_t shown = COLOURS[FLIPS % 2];
    EXPECT_EQ(screen.pixel(0, 0), shown);
    EXPECT_EQ(screen.pixel(WIDTH - 1, HEIGHT - 1), shown);
}

} // namespace
