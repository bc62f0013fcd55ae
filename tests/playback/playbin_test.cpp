// The player thread and its pipeline, playing clips encoded at test time.
#include "playback/playbin.h"
#include "playback/queue.h"
#include "tests/playback/frame_consumer.h"
#include "tests/display/display_test_support.h"
#include "sim/sample_media.h"

#include <gst/video/video.h>

#include <cstdlib>
#include <string>

namespace {

using namespace std::chrono_literals;
using playback_test::FrameConsumer;
using playback_test::SeenFrame;

// Sample clips run at 30 frames a second.
constexpr int CLIP_FPS = 30;

struct ClipFormat {
    int width;
    int height;
    int seconds;
    const char* pattern;
    // What a plain-coloured clip looks like on the screen.
    board_test::screen_pixel colour;
};

constexpr board_test::screen_pixel RED{255, 0, 0, 255};
constexpr board_test::screen_pixel BLACK{0, 0, 0, 255};
// Colours go through 8-bit YUV and back.
constexpr int COLOUR_TOLERANCE = 40;

constexpr ClipFormat SHORT_CLIP{64, 48, 1, "red", RED};
constexpr ClipFormat SHORT_SMALLER_CLIP{32, 24, 1, "blue", {}};
// Longer than the 2 s that repeat seeks back to.
constexpr ClipFormat LONG_CLIP{32, 24, 3, "smpte", {}};
// Generous: plugins load on first use, and the sanitizer build on a busy machine is slow.
constexpr auto STATE_TIMEOUT = 15s;
constexpr GstClockTime REPEAT_START = 2 * GST_SECOND;

class PlayerTest : public display_test::DisplayTest {
protected:
    void SetUp() override
    {
        DisplayTest::SetUp();
        gst_init(nullptr, nullptr);
        // Misuse of GStreamer objects is reported as critical: fail on it.
        g_log_set_always_fatal(GLogLevelFlags(G_LOG_LEVEL_CRITICAL | G_LOG_LEVEL_ERROR));
        init_decoder_queue();
        gst_set_repeat_state(0);
    }
    void TearDown() override
    {
        deinit_player_thread();
        release_decoder_queue();
        DisplayTest::TearDown();
    }

    static std::string clip(const std::string& name, const ClipFormat& format)
    {
        std::string file = path("/media/usbhd-sda1/" + name);
        EXPECT_EQ(make_sample_clip(file, format.pattern, format.seconds, format.width, format.height), 0) << file;
        return file;
    }

    static bool wait_state(int state, std::chrono::milliseconds timeout = STATE_TIMEOUT)
    {
        return board_test::wait_until([state] { return get_player_state() == state; }, timeout);
    }

    static void start_player()
    {
        ASSERT_EQ(init_player_thread(), 0);
        ASSERT_TRUE(wait_state(PLAYER_STATE_READY));
    }

    // The calling order of a client that plays a file.
    static void play(const std::string& file)
    {
        EXPECT_EQ(gst_player_ready(), 0);
        ASSERT_EQ(set_video_file(file.c_str()), 0);
        EXPECT_EQ(gst_player_play(), 0);
        EXPECT_EQ(get_player_state(), PLAYER_STATE_PLAYING);
    }

    // The frames of one stream: numbered 1, 2, ... in order, NV12 with a meta, of one size. The
    // end of the stream empties the queue, so a slow consumer may miss the last few.
    static void expect_stream(const std::vector<SeenFrame>& frames, const ClipFormat& clip)
    {
        const size_t total = size_t(clip.seconds * CLIP_FPS);
        ASSERT_LE(frames.size(), total);
        ASSERT_GE(frames.size(), total - DECODER_QUEUE_CAPACITY);
        for (size_t i = 0; i < frames.size(); ++i) {
            EXPECT_EQ(frames[i].id, int64_t(i + 1));
            EXPECT_EQ(frames[i].format, GST_VIDEO_FORMAT_NV12);
            EXPECT_EQ(frames[i].n_planes, 2);
            EXPECT_EQ(frames[i].geometry.width, clip.width);
            EXPECT_EQ(frames[i].geometry.height, clip.height);
        }
    }

    // The clip fills the band at the top of the screen, and everything below stays black.
    static void expect_on_screen(const ClipFormat& clip)
    {
        using playback_test::BAND_HEIGHT;
        using playback_test::BAND_WIDTH;
        // The clip's frames are drawn as the video thread gets to them, which may be after the
        // stream has ended when drawing is slow (a software renderer under emulation).
        std::optional<ScreenImage> screen = board_test::wait_for_screen_that(
            [&](const ScreenImage& shown) {
                return std::abs(board_test::pixel_at(shown, BAND_WIDTH / 2, BAND_HEIGHT / 2).r - clip.colour.r) <=
                       COLOUR_TOLERANCE;
            },
            STATE_TIMEOUT);
        ASSERT_TRUE(screen) << "the clip's colour reaches the band";
        for (int x : {0, BAND_WIDTH / 2, BAND_WIDTH - 1}) {
            for (int y : {0, BAND_HEIGHT / 2, BAND_HEIGHT - 1}) {
                const board_test::screen_pixel shown = board_test::pixel_at(*screen, x, y);
                EXPECT_NEAR(shown.r, clip.colour.r, COLOUR_TOLERANCE) << x << "," << y;
                EXPECT_NEAR(shown.g, clip.colour.g, COLOUR_TOLERANCE) << x << "," << y;
                EXPECT_NEAR(shown.b, clip.colour.b, COLOUR_TOLERANCE) << x << "," << y;
            }
            EXPECT_EQ(board_test::pixel_at(*screen, x, BAND_HEIGHT), BLACK);
        }
    }
};

TEST_F(PlayerTest, EachStreamIsPlayedFromFrameOneToItsEndWithRepeatOff)
{
    const std::string first = clip("boot clip.mp4", SHORT_CLIP);
    const std::string second = clip("next.mp4", SHORT_SMALLER_CLIP);
    start_player();
    for (const auto& [file, format] : {std::pair{first, SHORT_CLIP}, std::pair{second, SHORT_SMALLER_CLIP}}) {
        FrameConsumer consumer(false);
        play(file);
        ASSERT_TRUE(wait_state(PLAYER_STATE_STOPPED));
        EXPECT_TRUE(linkqueue_isempty(decoder_list));
        expect_stream(consumer.frames(), format);
    }
}

TEST_F(PlayerTest, APlayedClipFillsTheBandOfTheScreen)
{
    const std::string file = clip("red.mp4", SHORT_CLIP);
    start_player();
    FrameConsumer consumer(true);
    ASSERT_TRUE(consumer.running());
    play(file);
    ASSERT_TRUE(wait_state(PLAYER_STATE_STOPPED));
    ASSERT_FALSE(consumer.frames().empty());
    expect_on_screen(SHORT_CLIP);
}

TEST_F(PlayerTest, RepeatOnContinuesFromTwoSecondsAfterTheEnd)
{
    const std::string file = clip("loop.mp4", LONG_CLIP);
    gst_set_repeat_state(1);
    start_player();
    FrameConsumer consumer(false);
    testing::internal::CaptureStdout();
    play(file);
    // Wait for the first frame that comes after the end, and one more.
    size_t restart = 0;
    const bool repeated = board_test::wait_until(
        [&] {
            const std::vector<SeenFrame> frames = consumer.frames();
            for (size_t i = 1; i < frames.size() && !restart; ++i)
                if (frames[i].pts < frames[i - 1].pts)
                    restart = i;
            return restart && frames.size() > restart + 1;
        },
        STATE_TIMEOUT);
    const std::string log = testing::internal::GetCapturedStdout();
    ASSERT_TRUE(repeated);
    EXPECT_NE(log.find("Eos\n"), std::string::npos);
    EXPECT_EQ(get_player_state(), PLAYER_STATE_PLAYING);
    const std::vector<SeenFrame> frames = consumer.frames();
    EXPECT_EQ(frames[0].id, 1);
    for (size_t i = restart; i < frames.size(); ++i) {
        EXPECT_GE(frames[i].pts, REPEAT_START) << "frame " << frames[i].id;
        EXPECT_EQ(frames[i].id, frames[i - 1].id + 1) << "the count runs on across a repeat";
    }
    EXPECT_EQ(gst_player_stop(), 0);
    EXPECT_EQ(get_player_state(), PLAYER_STATE_STOPPED);
}

TEST_F(PlayerTest, AFileThatIsNotAVideoIsReportedAndStopsThePlayer)
{
    write_file("/media/usbhd-sda1/notes.mp4", "just some text, not a video\n");
    start_player();
    testing::internal::CaptureStdout();
    play(path("/media/usbhd-sda1/notes.mp4"));
    const bool stopped = wait_state(PLAYER_STATE_STOPPED);
    const std::string log = testing::internal::GetCapturedStdout();
    ASSERT_TRUE(stopped);
    EXPECT_NE(log.find("bus_callback-->Error: "), std::string::npos) << log;
    EXPECT_NE(log.find("bus_callback-->err code: -"), std::string::npos) << log;
    EXPECT_NE(log.find("bus_callback-->err msg: "), std::string::npos) << log;
    EXPECT_TRUE(linkqueue_isempty(decoder_list));
}

TEST_F(PlayerTest, VideoFilePathsGoIntoTheUriVerbatimOrNotAtAll)
{
    const std::string odd = path("/media/usbhd-sda1/100% my clip.mp4");
    write_file("/media/usbhd-sda1/100% my clip.mp4", "");
    char uri[URI_FILE_SIZE];
    ASSERT_EQ(set_video_file(odd.c_str()), 0);
    get_uri_file(uri, sizeof uri);
    EXPECT_EQ(std::string(uri), "file://" + odd);

    testing::internal::CaptureStdout();
    EXPECT_EQ(set_video_file(path("/media/usbhd-sda1/missing.mp4").c_str()), -1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "set_video_file File is not exist.\n");
    get_uri_file(uri, sizeof uri);
    EXPECT_EQ(std::string(uri), "file://" + odd);

    // 7 bytes of "file://" and the terminating zero leave 248 for the path.
    const std::string longest = "/" + std::string(247, 'a');
    EXPECT_EQ(set_uri_file((longest + "b").c_str()), -1);
    get_uri_file(uri, sizeof uri);
    EXPECT_EQ(std::string(uri), "file://" + odd) << "a path too long is refused, not cut";
    EXPECT_EQ(set_uri_file(longest.c_str()), 0);
    get_uri_file(uri, sizeof uri);
    EXPECT_EQ(std::string(uri), "file://" + longest);

    EXPECT_EQ(set_uri_file(nullptr), 0);
    get_uri_file(uri, sizeof uri);
    EXPECT_EQ(std::string(uri), "");
}

TEST_F(PlayerTest, OnlyOnePlayerThreadRunsAndEachStartBuildsAFreshPipeline)
{
    start_player();
    EXPECT_EQ(init_player_thread(), 1);
    set_player_state(PLAYER_STATE_STOPPED);
    deinit_player_thread();
    EXPECT_EQ(get_player_state(), PLAYER_STATE_IDLE) << "no thread runs, so the next video starts one";
    start_player();
    // A stop asked for before the new thread reaches its loop is not lost.
    for (int round = 0; round < 5; ++round) {
        deinit_player_thread();
        ASSERT_EQ(init_player_thread(), 0);
    }
}

TEST_F(PlayerTest, StoppingWithoutAThreadOnlyEmptiesTheQueue)
{
    linkqueue_enqueue(decoder_list, new video_buffer{gst_buffer_new_allocate(nullptr, 16, nullptr), 1});
    set_player_state(PLAYER_STATE_PLAYING);
    testing::internal::CaptureStdout();
    deinit_player_thread();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "clear_decoder_queue id=1\n");
    EXPECT_TRUE(linkqueue_isempty(decoder_list));
    EXPECT_EQ(get_player_state(), PLAYER_STATE_PLAYING);
    // A banner replaced before its video ever started stops a player that does not exist yet.
    set_player_state(PLAYER_STATE_IDLE);
    EXPECT_EQ(gst_player_stop(), 0);
    EXPECT_EQ(get_player_state(), PLAYER_STATE_IDLE);
}

TEST_F(PlayerTest, StopDuringPlaybackEmptiesTheQueueAndForgetsTheGeometry)
{
    const std::string file = clip("long.mp4", LONG_CLIP);
    start_player();
    play(file);
    ASSERT_TRUE(board_test::wait_until([] { return linkqueue_isfull(decoder_list); }, STATE_TIMEOUT));
    EXPECT_EQ(get_stream_geometry().width, LONG_CLIP.width);
    EXPECT_EQ(gst_player_stop(), 0);
    EXPECT_EQ(get_player_state(), PLAYER_STATE_STOPPED);
    EXPECT_TRUE(linkqueue_isempty(decoder_list));
    EXPECT_EQ(get_stream_geometry().width, 0);
    EXPECT_EQ(get_stream_geometry().height, 0);
}

TEST_F(PlayerTest, TheSignalPathEndsAPlayingThreadAndItsPipeline)
{
    const std::string file = clip("long.mp4", LONG_CLIP);
    start_player();
    play(file);
    ASSERT_TRUE(board_test::wait_until([] { return !linkqueue_isempty(decoder_list); }, STATE_TIMEOUT));
    testing::internal::CaptureStdout();
    playbin_exit();
    deinit_player_thread();
    const std::string log = testing::internal::GetCapturedStdout();
    EXPECT_NE(log.find("player_proc: state1="), std::string::npos) << log;
    EXPECT_NE(log.find("player_proc: end\n"), std::string::npos) << log;
    EXPECT_EQ(get_player_state(), PLAYER_STATE_IDLE);
    // Whatever the state query answered while the pipeline was still changing state, it was
    // brought to NULL: no streaming thread delivers frames any more.
    EXPECT_FALSE(board_test::wait_until([] { return !linkqueue_isempty(decoder_list); }, 300ms));
}

} // namespace
