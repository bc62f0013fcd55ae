// The display device: DRM mode search, missing card, and the pending-flip bookkeeping observed
// through the virtual display and its screen file.
#include "display/drm_output.h"
#include "display/opengl.h"
#include "display/virtual_output.h"
#include "tests/display/display_test_support.h"

#include <GLES2/gl2.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <thread>

namespace {

using board_test::pixel_at;
using display_test::DisplayTest;
using display_test::SCREEN_TIMEOUT;

drmModeModeInfo mode(const char* name, uint32_t refresh)
{
    drmModeModeInfo info = {};
    strncpy(info.name, name, sizeof info.name - 1);
    info.vrefresh = refresh;
    return info;
}

drmModeConnector connector_with(std::vector<drmModeModeInfo>& modes)
{
    drmModeConnector connector = {};
    connector.count_modes = static_cast<int>(modes.size());
    connector.modes = modes.data();
    return connector;
}

TEST(DrmModeSearch, TakesThe1080pModeAt60HzAfterOthers)
{
    std::vector<drmModeModeInfo> modes = {mode("1920x1080", 50), mode("1280x720", 60), mode("1920x1080", 60),
                                          mode("1920x1080", 60)};
    drmModeConnector connector = connector_with(modes);
    testing::internal::CaptureStdout();
    drmModeModeInfo* found = select_drm_mode(&connector, "1920x1080");
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "FOUND 1920x1080, 60Hz\n");
    EXPECT_EQ(found, &modes[2]);
}

TEST(DrmModeSearch, RefusesAConnectorWithoutThe60HzMode)
{
    std::vector<drmModeModeInfo> modes = {mode("1920x1080", 50), mode("1920x1080i", 60), mode("3840x2160", 60)};
    drmModeConnector connector = connector_with(modes);
    testing::internal::CaptureStdout();
    EXPECT_EQ(select_drm_mode(&connector, "1920x1080"), nullptr);
    EXPECT_EQ(select_drm_mode(nullptr, "1920x1080"), nullptr);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Couldn't get drm mode.\nCouldn't get device connector.\n");
}

TEST_F(DisplayTest, MissingCardFailsBringUpAndBuildsNothing)
{
    make_dir("/dev/dri");
    ASSERT_EQ(symlink("/nonexistent/card0", path("/dev/dri/card0").c_str()), 0);
    testing::internal::CaptureStdout();
    EXPECT_EQ(init_opengl(), -1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "open DRM device failed\ninitVideo-->Failed to init video!\n");
    EXPECT_FALSE(std::filesystem::exists(path("/sim/screen")));
}

TEST_F(DisplayTest, VirtualDisplayShowsTheFirstFrameBlack)
{
    ASSERT_EQ(initVideo(), 0);
    // The header as the screen file's readers expect it, byte for byte.
    std::string file = read_file("/sim/screen");
    ASSERT_EQ(file.size(), 64u + 7680u * 1080u);
    const char header[32] = {'T', 'A', 'V', 'S', 'C', 'R', 'N', '1', char(0x80), 0x07, 0, 0, 0x38, 0x04, 0, 0,
                             0, 0x1E, 0, 0, 0, 0, 0, 0, 2, 0, 0, 0, 0, 0, 0, 0};
    EXPECT_EQ(file.substr(0, 32), std::string(header, sizeof header));
    EXPECT_EQ(file.substr(32, 32), std::string(32, '\0'));
    std::optional<ScreenImage> screen = board_test::current_screen();
    ASSERT_TRUE(screen);
    for (int y : {0, 539, 1079})
        EXPECT_EQ(pixel_at(*screen, 960, y), (board_test::screen_pixel{0, 0, 0, 255}));
    EXPECT_EQ(wait_flip(false), 0);
    virtual_output_stats held = get_virtual_output_stats();
    EXPECT_EQ(held.framebuffers, 1);
    EXPECT_EQ(held.locked_buffers, 1);
    cleanVideo();
}

// Presents a frame cleared to one colour, the way the renderer ends every frame.
void present_colour(float r, float g, float b)
{
    glClearColor(r, g, b, 1.0f);
    glClear(GL_COLOR_BUFFER_BIT);
    swapBuffers();
}

TEST_F(DisplayTest, FrameFinishedWhileAFlipIsPendingIsNotShown)
{
    ASSERT_EQ(initVideo(), 0);
    uint64_t before = display_test::screen_sequence();
    present_colour(1, 0, 0);
    present_colour(0, 1, 0);
    EXPECT_EQ(waiting_for_flip, 1);
    std::optional<ScreenImage> shown = board_test::wait_for_screen(before, SCREEN_TIMEOUT);
    ASSERT_TRUE(shown);
    // Several refresh periods later nothing else has reached the screen.
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    std::optional<ScreenImage> later = board_test::current_screen();
    ASSERT_TRUE(later);
    EXPECT_EQ(later->sequence, before + 2);
    EXPECT_EQ(pixel_at(*later, 100, 100), (board_test::screen_pixel{255, 0, 0, 255}));
    // The completion is handled by the next look at the flip, which frees the old buffer.
    EXPECT_EQ(wait_flip(false), 0);
    EXPECT_EQ(waiting_for_flip, 0);
    virtual_output_stats held = get_virtual_output_stats();
    EXPECT_EQ(held.framebuffers, 1);
    EXPECT_EQ(held.locked_buffers, 1);
    EXPECT_EQ(held.refused_calls, 0);
    cleanVideo();
}

// Frames that say which rows they drew are read back only there: the other rows show the colour
// each frame was cleared to, whatever the frame before drew or cleared them to.
TEST_F(DisplayTest, RowsOutsideTheDrawnOnesShowEachFramesClearColour)
{
    ASSERT_EQ(initVideo(), 0);
    const board_test::screen_pixel red{255, 0, 0, 255}, green{0, 255, 0, 255}, blue{0, 0, 255, 255};
    // Cleared red (1) or blue (0), a band of 360 rows from GL row `band_y` drawn green.
    auto present_band = [](float red_clear, int band_y) {
        glClearColor(red_clear, 0, 1 - red_clear, 1.0f);
        glClear(GL_COLOR_BUFFER_BIT);
        glEnable(GL_SCISSOR_TEST);
        glScissor(0, band_y, 1920, 360);
        glClearColor(0, 1, 0, 1.0f);
        glClear(GL_COLOR_BUFFER_BIT);
        glDisable(GL_SCISSOR_TEST);
        swapBuffers({band_y, 360});
    };
    struct Step {
        std::function<void()> present;
        board_test::screen_pixel top, bottom;
    };
    const Step steps[] = {
        {[] { present_colour(1, 0, 0); }, red, red},
        {[&] { present_band(1, 720); }, green, red},
        {[&] { present_band(0, 720); }, green, blue},
        {[&] { present_band(0, 0); }, blue, green},
        {[] { present_colour(1, 0, 0); }, red, red},
    };
    for (const Step& step : steps) {
        std::optional<ScreenImage> shown = display_test::draw_and_show(step.present);
        ASSERT_TRUE(shown);
        for (int x : {0, 1919}) {
            EXPECT_EQ(pixel_at(*shown, x, 0), step.top);
            EXPECT_EQ(pixel_at(*shown, x, 1079), step.bottom);
        }
    }
    cleanVideo();
}

TEST_F(DisplayTest, CleanVideoReleasesTheBufferOnScreenOnceAndDarkensTheOutput)
{
    ASSERT_EQ(initVideo(), 0);
    std::optional<ScreenImage> shown = display_test::draw_and_show([] { present_colour(0, 0, 1); });
    ASSERT_TRUE(shown);
    EXPECT_EQ(pixel_at(*shown, 0, 1079), (board_test::screen_pixel{0, 0, 255, 255}));
    EXPECT_EQ(wait_flip(false), 0);
    cleanVideo();
    virtual_output_stats held = get_virtual_output_stats();
    EXPECT_EQ(held.framebuffers, 0);
    EXPECT_EQ(held.locked_buffers, 0);
    EXPECT_EQ(held.refused_calls, 0);
    std::optional<ScreenImage> last = board_test::current_screen();
    ASSERT_TRUE(last);
    EXPECT_EQ(pixel_at(*last, 0, 1079), (board_test::screen_pixel{0, 0, 0, 255}));
}

TEST_F(DisplayTest, CleanVideoWithAFlipPendingReleasesBothBuffers)
{
    ASSERT_EQ(initVideo(), 0);
    present_colour(1, 1, 1);
    ASSERT_EQ(waiting_for_flip, 1);
    EXPECT_EQ(get_virtual_output_stats().locked_buffers, 2);
    cleanVideo();
    virtual_output_stats held = get_virtual_output_stats();
    EXPECT_EQ(held.framebuffers, 0);
    EXPECT_EQ(held.locked_buffers, 0);
    EXPECT_EQ(held.refused_calls, 0);
    EXPECT_EQ(waiting_for_flip, 0);
}

// Runs on a machine with a KMS card only (the real-kernel bench names it in
// TAVIMORO_TEST_DRM_CARD); the card is reached through the board root like every board path.
TEST_F(DisplayTest, DrmCardBringsUpFlipsAndTearsDown)
{
    const char* card = getenv("TAVIMORO_TEST_DRM_CARD");
    if (!card || access(card, R_OK | W_OK) != 0)
        GTEST_SKIP() << "no DRM card: set TAVIMORO_TEST_DRM_CARD to a KMS card node to run this";
    make_dir("/dev/dri");
    ASSERT_EQ(symlink(card, path("/dev/dri/card0").c_str()), 0);
    testing::internal::CaptureStdout();
    int result = initVideo();
    std::string log = testing::internal::GetCapturedStdout();
    ASSERT_EQ(result, 0) << log;
    EXPECT_NE(log.find("FOUND 1920x1080, 60Hz\n"), std::string::npos) << log;
    int flips = 0;
    for (int frame = 0; frame < 10; frame++) {
        wait_flip(true);
        present_colour(frame % 2, 0, 1);
        flips += waiting_for_flip;
    }
    EXPECT_EQ(flips, 10);
    EXPECT_EQ(wait_flip(true), 0);
    cleanVideo();
}

} // namespace
