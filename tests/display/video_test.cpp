// The video thread on the virtual display: what each mode and the screen state put on the
// screen file, switching modes under load, and the thread's start and stop.
#include "banner/image.h"
#include "banner/surface.h"
#include "core/events.h"
#include "display/video.h"
#include "playback/queue.h"
#include "tests/display/display_test_support.h"

#include <SDL2/SDL.h>
#include <gst/video/video.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

using board_test::pixel_at;
using board_test::screen_pixel;
using display_test::BAND_HEIGHT;
using display_test::SCREEN_TIMEOUT;

constexpr int WIDTH = 1920;
constexpr int FRAME_WIDTH = 64;
constexpr int FRAME_HEIGHT = 48;
// NV12 values that the renderer's matrix turns into a strong red (about 239, 14, 15).
constexpr uint8_t RED_Y = 81;
constexpr uint8_t RED_U = 90;
constexpr uint8_t RED_V = 240;
// Long enough for dozens of passes of any mode; only used to show that nothing happens.
constexpr auto NOTHING_HAPPENS_WAIT = std::chrono::milliseconds(300);
// Several passes of any mode that has something to draw.
constexpr auto PASS_WAIT = std::chrono::milliseconds(100);


bool is_video_red(screen_pixel p)
{
    return p.r > 200 && p.g < 40 && p.b < 40;
}

bool is_green(screen_pixel p)
{
    return p.r < 10 && p.g > 245 && p.b < 10;
}

bool is_blue(screen_pixel p)
{
    return p.r < 10 && p.g < 10 && p.b > 245;
}

class VideoThreadTest : public display_test::DisplayTest {
protected:
    void SetUp() override
    {
        DisplayTest::SetUp();
        gst_init(nullptr, nullptr);
        reset_stream_geometry();
        init_decoder_queue();
        set_image_drawer(draw_image);
        pad_ = gst_pad_new("sink", GST_PAD_SINK);
    }
    void TearDown() override
    {
        deinit_video_thread();
        show_surface_image(nullptr);
        release_decoder_queue();
        gst_object_unref(pad_);
        DisplayTest::TearDown();
    }

    // Hands a red NV12 frame with its video meta to the queue, as the video sink does.
    void queue_red_frame()
    {
        const gsize luma = gsize(FRAME_WIDTH) * FRAME_HEIGHT;
        const gsize size = luma * 3 / 2;
        GstBuffer* frame = gst_buffer_new_allocate(nullptr, size, nullptr);
        GstMapInfo map;
        gst_buffer_map(frame, &map, GST_MAP_WRITE);
        memset(map.data, RED_Y, luma);
        for (gsize i = luma; i < size; i += 2) {
            map.data[i] = RED_U;
            map.data[i + 1] = RED_V;
        }
        gst_buffer_unmap(frame, &map);
        gsize offsets[GST_VIDEO_MAX_PLANES] = {0, luma};
        gint strides[GST_VIDEO_MAX_PLANES] = {FRAME_WIDTH, FRAME_WIDTH};
        gst_buffer_add_video_meta_full(frame, GST_VIDEO_FRAME_FLAG_NONE, GST_VIDEO_FORMAT_NV12, FRAME_WIDTH,
                                       FRAME_HEIGHT, 2, offsets, strides);
        processNewBuffer(nullptr, frame, pad_, nullptr);
        gst_buffer_unref(frame);
    }

    // A picture of the band's size in one colour, as the banner composes them. It lives until
    // the fixture goes, after the thread that may draw it has ended.
    SDL_Surface* band_picture(uint8_t r, uint8_t g, uint8_t b)
    {
        UniqueSurface& surface = pictures_.emplace_back(
            SDL_CreateRGBSurfaceWithFormat(0, WIDTH, BAND_HEIGHT, 32, SDL_PIXELFORMAT_ABGR8888));
        SDL_FillRect(surface.get(), nullptr, SDL_MapRGBA(surface->format, r, g, b, 255));
        return surface.get();
    }

    static screen_pixel band_centre(const ScreenImage& screen)
    {
        return pixel_at(screen, WIDTH / 2, BAND_HEIGHT / 2);
    }

    // Waits for a screen whose band centre passes `check`.
    template <typename Check>
    static std::optional<ScreenImage> wait_for_band(Check check)
    {
        return board_test::wait_for_screen_that([&](const ScreenImage& shown) { return check(band_centre(shown)); },
                                                SCREEN_TIMEOUT);
    }

private:
    GstPad* pad_ = nullptr;
    std::vector<UniqueSurface> pictures_;
};

TEST_F(VideoThreadTest, VideoModeDrawsQueuedFramesAndKeepsTheLastOneWhenTheQueueRunsDry)
{
    deinit_video_thread();  // no thread yet: this only sets the stop flag, which a start clears
    show_video_mode();
    ASSERT_EQ(init_video_thread(), 0);
    EXPECT_EQ(init_video_thread(), 1) << "a running thread is not started twice";
    queue_red_frame();
    std::optional<ScreenImage> shown = wait_for_band(is_video_red);
    ASSERT_TRUE(shown) << "the queued frame reaches the screen";
    EXPECT_TRUE(linkqueue_isempty(decoder_list));
    EXPECT_EQ(pixel_at(*shown, WIDTH / 2, BAND_HEIGHT + 10), (screen_pixel{0, 0, 0, 255})) << "below the band";

    std::this_thread::sleep_for(NOTHING_HAPPENS_WAIT);
    std::optional<ScreenImage> later = board_test::current_screen();
    ASSERT_TRUE(later);
    EXPECT_EQ(later->sequence, shown->sequence) << "nothing new is presented while the queue is empty";
    EXPECT_TRUE(is_video_red(band_centre(*later)));

    testing::internal::CaptureStdout();
    deinit_video_thread();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "video_proc: end\n")
        << "the display is torn down before the join returns";
}

// A still picture costs nothing while it stays: it is drawn when it changes, when another mode
// drew in between and when the screen comes back on, and not otherwise.
TEST_F(VideoThreadTest, ImageModeDrawsAStillPictureOnlyWhenItOrTheScreenChanges)
{
    show_surface_image(band_picture(0, 255, 0));
    show_image_mode();
    ASSERT_EQ(init_video_thread(), 0);
    std::optional<ScreenImage> green = wait_for_band(is_green);
    ASSERT_TRUE(green);
    std::this_thread::sleep_for(NOTHING_HAPPENS_WAIT);
    EXPECT_EQ(display_test::screen_sequence(), green->sequence) << "an unchanged picture is not drawn again";

    show_surface_image(band_picture(0, 0, 255));
    std::optional<ScreenImage> blue = wait_for_band(is_blue);
    ASSERT_TRUE(blue) << "a new current picture is drawn at once";

    show_video_mode();
    show_image_mode();
    EXPECT_TRUE(board_test::wait_for_screen(blue->sequence, SCREEN_TIMEOUT)) << "drawn again after a mode switch";

    set_hdmi_state(0);
    std::this_thread::sleep_for(NOTHING_HAPPENS_WAIT);
    const uint64_t dark = display_test::screen_sequence();
    set_hdmi_state(1);
    std::optional<ScreenImage> back = board_test::wait_for_screen(dark, SCREEN_TIMEOUT);
    ASSERT_TRUE(back) << "drawn again when the screen comes back on";
    EXPECT_TRUE(is_blue(band_centre(*back)));
}

// Each new scroll frame is a change of the current picture made in place on the same surface:
// every one of them reaches the screen, none is lost to a pending flip.
TEST_F(VideoThreadTest, EveryChangeOfThePictureReachesTheScreen)
{
    SDL_Surface* frame = band_picture(0, 255, 0);
    show_surface_image(frame);
    show_image_mode();
    ASSERT_EQ(init_video_thread(), 0);
    ASSERT_TRUE(wait_for_band(is_green));
    for (int i = 0; i < 10; i++) {
        const bool to_blue = i % 2 == 0;
        lock_image_mutex();
        SDL_FillRect(frame, nullptr, SDL_MapRGBA(frame->format, 0, to_blue ? 0 : 255, to_blue ? 255 : 0, 255));
        show_surface_image_nolock(frame);
        unlock_image_mutex();
        ASSERT_TRUE(to_blue ? wait_for_band(is_blue) : wait_for_band(is_green)) << "change " << i;
    }
}

TEST_F(VideoThreadTest, NothingIsDrawnWhileTheScreenIsOffOrNoModeIsSet)
{
    set_hdmi_state(0);
    show_video_mode();
    queue_red_frame();
    ASSERT_EQ(init_video_thread(), 0);
    std::optional<ScreenImage> dark = board_test::wait_for_screen(0, SCREEN_TIMEOUT);
    ASSERT_TRUE(dark) << "the display comes up dark";
    std::this_thread::sleep_for(NOTHING_HAPPENS_WAIT);
    EXPECT_EQ(display_test::screen_sequence(), dark->sequence) << "no frame is presented with the screen off";
    EXPECT_FALSE(linkqueue_isempty(decoder_list)) << "no frame is taken with the screen off";

    set_hdmi_state(1);
    std::optional<ScreenImage> shown = wait_for_band(is_video_red);
    ASSERT_TRUE(shown) << "the waiting frame is drawn once the screen is on";

    set_video_mode(0);  // once it returns, no pass acts on the old mode any more
    queue_red_frame();
    std::this_thread::sleep_for(NOTHING_HAPPENS_WAIT);
    EXPECT_FALSE(linkqueue_isempty(decoder_list)) << "without a mode the queue is left alone";
}

// A switch to video mode made while a picture is being drawn must not reach that draw: the
// picture is still drawn as RGBA. Read as NV12 (the video format), the green picture would show
// as another colour. The test holds the image mutex so that the thread's pass waits inside its
// draw while the switch is made.
TEST_F(VideoThreadTest, SwitchingModesDuringADrawNeverDrawsItInTheOtherFormat)
{
    SDL_Surface* green = band_picture(0, 255, 0);
    show_surface_image(green);
    show_image_mode();
    ASSERT_EQ(init_video_thread(), 0);
    ASSERT_TRUE(wait_for_band(is_green));

    lock_image_mutex();
    // The picture changes: the next pass is soon waiting for it.
    show_surface_image_nolock(green);
    std::this_thread::sleep_for(PASS_WAIT);
    const uint64_t before = display_test::screen_sequence();
    std::atomic<int> switched{0};
    std::thread switcher([&] {
        show_video_mode();
        switched = 1;
    });
    std::this_thread::sleep_for(PASS_WAIT);
    EXPECT_EQ(switched, 0) << "the switch waits for the pass under way";
    unlock_image_mutex();

    std::optional<ScreenImage> drawn = board_test::wait_for_screen(before, SCREEN_TIMEOUT);
    switcher.join();
    ASSERT_TRUE(drawn);
    EXPECT_TRUE(is_green(band_centre(*drawn))) << "the picture is drawn in its own format";
}

TEST_F(VideoThreadTest, MissingCardEndsTheThreadWhichStaysJoinable)
{
    make_dir("/dev/dri");
    ASSERT_EQ(symlink("/nonexistent/card0", path("/dev/dri/card0").c_str()), 0);
    testing::internal::CaptureStdout();
    ASSERT_EQ(init_video_thread(), 0);
    EXPECT_EQ(init_video_thread(), 1) << "the handle stays set after the thread gave up";
    deinit_video_thread();
    std::string log = testing::internal::GetCapturedStdout();
    EXPECT_EQ(log, "open DRM device failed\ninitVideo-->Failed to init video!\nFailed to init opengl!\n");
    EXPECT_FALSE(std::filesystem::exists(path("/sim/screen")));
}

} // namespace
