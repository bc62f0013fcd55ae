// The banner sequencer with the real video thread on the virtual display and the real player:
// what it shows is read back from the screen file, when it shows it from its trace.
#include "banner/bannerbar.h"
#include "banner/image.h"
#include "banner/leaderboard.h"
#include "core/events.h"
#include "display/video.h"
#include "playback/playbin.h"
#include "playback/queue.h"
#include "tests/banner/banner_fixture.h"
#include "tests/display/display_test_support.h"
#include "sim/sample_media.h"
#include "sim/screen_capture.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <string>

using namespace banner_test;
using namespace std::chrono_literals;

namespace {

constexpr Rgba RED = {255, 0, 0, 255};
constexpr Rgba BLUE = {0, 0, 255, 255};
constexpr const char* GAMES = "/media/usbhd-sda1/vorlix/vorlix";
// Generous: plugins load on first use, and the sanitizer build on a busy machine is slow.
constexpr auto LONG_WAIT = 20s;

// The process's standard output, redirected to a file that can be read while threads write.
class StdoutLog {
public:
    explicit StdoutLog(const std::string& file) : file_(file)
    {
        fflush(stdout);
        saved_ = dup(STDOUT_FILENO);
        int fd = open(board_test::BoardRootTest::path(file).c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(fd, STDOUT_FILENO);
        close(fd);
    }
    ~StdoutLog()
    {
        fflush(stdout);
        dup2(saved_, STDOUT_FILENO);
        close(saved_);
    }
    std::string text() const { return board_test::BoardRootTest::read_file(file_); }
    int count(const std::string& line) const
    {
        std::string all = text();
        int found = 0;
        for (size_t at = all.find(line); at != std::string::npos; at = all.find(line, at + 1))
            found++;
        return found;
    }
    bool wait_for(const std::string& line, int times = 1, std::chrono::milliseconds timeout = LONG_WAIT) const
    {
        return board_test::wait_until([&] { return count(line) >= times; }, timeout);
    }

private:
    std::string file_;
    int saved_ = -1;
};

class SequencerTest : public BannerTest {
protected:
    // How far the scroll has gone, read under the image lock the banner thread paints under.
    static int scrolled_columns()
    {
        lock_image_mutex();
        int x = rc_flash_text_visible.x;
        unlock_image_mutex();
        return x;
    }

    std::unique_ptr<StdoutLog> log;

    void SetUp() override
    {
        BannerTest::SetUp();
        display_test::keep_gl_driver_loaded();
        ASSERT_EQ(SDL_Init(SDL_INIT_EVENTS), 0);
        log = std::make_unique<StdoutLog>("/sim/stdout.log");
        set_hdmi_state(1);
        // As the player leaves it before the banner thread starts: no player thread yet.
        set_player_state(PLAYER_STATE_IDLE);
        init_decoder_queue();
        show_video_mode();
        set_image_drawer(draw_image);
        ASSERT_EQ(init_video_thread(), 0);
    }
    void TearDown() override
    {
        deinit_banner_thread();
        deinit_video_thread();
        deinit_player_thread();
        release_decoder_queue();
        log.reset();
        // The failure messages went into the log, with everything the threads printed.
        if (HasFailure())
            fputs(read_file("/sim/stdout.log").c_str(), stdout);
        SDL_Quit();
        BannerTest::TearDown();
    }

    static banner_bar_t record(const char* title, const char* image = "", const char* video = "",
                               const char* leaderboard = "")
    {
        banner_bar_t info = {};
        snprintf(info.title, sizeof info.title, "%s", title);
        snprintf(info.image_file, sizeof info.image_file, "%s", image);
        snprintf(info.video_file, sizeof info.video_file, "%s", video);
        snprintf(info.leaderboard, sizeof info.leaderboard, "%s", leaderboard);
        return info;
    }

    static std::string picture(const std::string& name, Rgba colour)
    {
        std::string file = std::string(GAMES) + "/" + name;
        write_picture(file, BANNER_WIDTH, BANNER_HEIGHT, [colour](int, int) { return colour; });
        return path(file);
    }

    static std::string clip(const std::string& name, int seconds)
    {
        std::string file = path(std::string(GAMES) + "/" + name);
        EXPECT_EQ(make_sample_clip(file, "smpte", seconds, 320, 240), 0);
        return file;
    }

    // The screen's pixel, once a complete frame exists.
    static Rgba screen_pixel(int x, int y)
    {
        ScreenImage image;
        if (read_screen(path("/sim/screen"), image) != 0)
            return {0, 0, 0, 0};
        const uint8_t* p = &image.rgba[(size_t(y) * image.width + x) * 4];
        return {p[0], p[1], p[2], p[3]};
    }

    static bool screen_shows(Rgba colour, std::chrono::milliseconds timeout = LONG_WAIT)
    {
        return board_test::wait_until(
            [&] { return screen_pixel(10, 10) == colour && screen_pixel(1900, 350) == colour; }, timeout);
    }

    static bool screen_has_white_in_band()
    {
        ScreenImage image;
        if (read_screen(path("/sim/screen"), image) != 0)
            return false;
        for (size_t i = 0; i < size_t(image.width) * BANNER_HEIGHT * 4; i += 4)
            if (image.rgba[i] == 255 && image.rgba[i + 1] == 255 && image.rgba[i + 2] == 255)
                return true;
        return false;
    }
};

TEST_F(SequencerTest, TitleOnlyRecordShowsItsCardThreeSecondsACycle)
{
    set_bannerbar_info(record("Sonic"));
    ASSERT_EQ(init_banner_thread(), 0);
    // Installed before the start: shown within a second.
    ASSERT_TRUE(log->wait_for("banner_proc: title start,  Sonic", 1, 1500ms)) << log->text();
    auto first = std::chrono::steady_clock::now();
    ASSERT_TRUE(board_test::wait_until(screen_has_white_in_band, LONG_WAIT));
    ASSERT_TRUE(log->wait_for("banner_proc: title start,  Sonic", 2, 5s));
    auto period = std::chrono::steady_clock::now() - first;
    EXPECT_GE(period, 2900ms);
    // The 3 s hold, plus the card handed to the video thread each cycle, which waits for the
    // draw in progress: one draw, which ThreadSanitizer's instrumentation makes several times slower.
    EXPECT_LE(period, 3000ms + board_test::slow_build_bound(1500ms));
    EXPECT_EQ(log->count("banner_proc: image start"), 0);
}

TEST_F(SequencerTest, PictureWithATitleShowsThePictureAndNoCard)
{
    set_bannerbar_info(record("Sonic", picture("sonic.png", RED).c_str()));
    ASSERT_EQ(init_banner_thread(), 0);
    ASSERT_TRUE(log->wait_for("banner_proc: image start , "));
    EXPECT_TRUE(screen_shows(RED));
    EXPECT_EQ(log->count("title start"), 0);
}

TEST_F(SequencerTest, UnloadablePictureGivesWayToTheTitleCard)
{
    write_file(std::string(GAMES) + "/broken.png", "not a picture");
    set_bannerbar_info(record("Sonic", path(std::string(GAMES) + "/broken.png").c_str()));
    ASSERT_EQ(init_banner_thread(), 0);
    ASSERT_TRUE(log->wait_for("banner_proc: title start,  Sonic"));
    EXPECT_TRUE(board_test::wait_until(screen_has_white_in_band, LONG_WAIT));
}

TEST_F(SequencerTest, MissingVideoIsTracedOnceACycleAndTheLeaderboardFollows)
{
    std::string missing = path(std::string(GAMES) + "/missing.mp4");
    set_bannerbar_info(record("Sonic", "", missing.c_str(), "AAA 1"));
    ASSERT_EQ(init_banner_thread(), 0);
    std::string traced = "banner_proc: " + missing + " is not exist.";
    ASSERT_TRUE(log->wait_for(traced));
    ASSERT_TRUE(log->wait_for("banner_proc dis time=3"));
    // The next cycle: title, the missing video once more, then the scroll again.
    ASSERT_TRUE(log->wait_for("banner_proc: title start,  Sonic", 2));
    EXPECT_EQ(log->count(traced), 1);
    ASSERT_TRUE(log->wait_for(traced, 2));
    EXPECT_EQ(log->count("banner_proc: title start,  Sonic"), 2);
}

TEST_F(SequencerTest, RecordWithNothingToShowDoesNotSpin)
{
    std::string missing = path(std::string(GAMES) + "/missing.mp4");
    set_bannerbar_info(record("", "", missing.c_str()));
    ASSERT_EQ(init_banner_thread(), 0);
    std::string traced = "banner_proc: " + missing + " is not exist.";
    ASSERT_TRUE(log->wait_for(traced));
    std::this_thread::sleep_for(1500ms);
    EXPECT_LE(log->count(traced), 3);
}

TEST_F(SequencerTest, NewRecordDuringAVideoStopsItAndItsPictureComesNext)
{
    set_bannerbar_info(record("", "", clip("long.mp4", 20).c_str()));
    ASSERT_EQ(init_banner_thread(), 0);
    ASSERT_TRUE(log->wait_for("banner_proc: video start"));
    ASSERT_TRUE(board_test::wait_until([] { return get_player_state() == PLAYER_STATE_PLAYING; }, LONG_WAIT));
    std::string blue = picture("next.png", BLUE);
    auto asked = std::chrono::steady_clock::now();
    set_bannerbar_info(record("Next", blue.c_str()));
    EXPECT_LT(std::chrono::steady_clock::now() - asked, board_test::slow_build_bound(2s));
    EXPECT_NE(get_player_state(), PLAYER_STATE_PLAYING);
    ASSERT_TRUE(log->wait_for("banner_proc: image start , " + blue));
    EXPECT_TRUE(screen_shows(BLUE));
}

// The thread waiting in a hold is woken by the replacement, and the replacement by the thread
// going idle: set_bannerbar_info returns at once rather than at the next look of a poll (every
// one of them took 50 ms at least when the caller slept before looking). The quickest of a few
// tells, whatever else the machine runs.
TEST_F(SequencerTest, AReplacementDuringTheHoldIsTakenAtOnce)
{
    const std::string pictures[] = {picture("red.png", RED), picture("blue.png", BLUE)};
    int shown[] = {0, 0};
    set_bannerbar_info(record("", pictures[0].c_str()));
    ASSERT_EQ(init_banner_thread(), 0);
    auto quickest = std::chrono::steady_clock::duration::max();
    for (int i = 0; i < 6; i++) {
        const int current = i % 2, next = 1 - current;
        ASSERT_TRUE(log->wait_for("banner_proc: image start , " + pictures[current], ++shown[current]));
        auto asked = std::chrono::steady_clock::now();
        set_bannerbar_info(record("", pictures[next].c_str()));
        quickest = std::min(quickest, std::chrono::steady_clock::now() - asked);
    }
    EXPECT_LT(quickest, 25ms);
    EXPECT_TRUE(screen_shows(RED)) << "the last record wins";
}

TEST_F(SequencerTest, LeaderboardScrollsThreeSecondsUnderThirtyBytes)
{
    // Wide enough that every frame of the step still scrolls the body by 3 pixels.
    std::string text(29, 'W');
    set_bannerbar_info(record("Sonic", "", "", text.c_str()));
    // Timed from before the cycle starts: a test thread that sees the scroll's trace late (it was
    // 0.9 s late once under ThreadSanitizer) would otherwise find the scroll too short.
    auto started = std::chrono::steady_clock::now();
    ASSERT_EQ(init_banner_thread(), 0);
    ASSERT_TRUE(log->wait_for("banner_proc dis time=3"));
    // The title card of the next cycle: the scroll is over and its frames can be counted.
    ASSERT_TRUE(log->wait_for("banner_proc: title start,  Sonic", 2));
    EXPECT_GE(std::chrono::steady_clock::now() - started, 3s + 2900ms) << "the title card, then the scroll";
    EXPECT_EQ(scrolled_columns(), 150 * 3);
}

TEST_F(SequencerTest, LeaderboardOfThirtyBytesScrollsSevenSeconds)
{
    std::string text(30, 'W');
    set_bannerbar_info(record("Sonic", "", "", text.c_str()));
    ASSERT_EQ(init_banner_thread(), 0);
    ASSERT_TRUE(log->wait_for("banner_proc dis time=7"));
    // 350 frames of at least 20 ms each, and longer ones on a loaded machine.
    ASSERT_TRUE(log->wait_for("banner_proc: title start,  Sonic", 2, 45s));
    EXPECT_EQ(scrolled_columns(), 350 * 3);
}

TEST_F(SequencerTest, LongLeaderboardScrollsALengthOfTimeByItsSize)
{
    std::string text(100, 'W');
    set_bannerbar_info(record("", "", "", text.c_str()));
    ASSERT_EQ(init_banner_thread(), 0);
    ASSERT_TRUE(log->wait_for("banner_proc dis time=25"));
    // A new record cuts the scroll short: after the frame being painted, which may wait for the
    // video thread's draw of the one before (each several times slower under ThreadSanitizer).
    std::string blue = picture("next.png", BLUE);
    auto asked = std::chrono::steady_clock::now();
    set_bannerbar_info(record("Next", blue.c_str()));
    EXPECT_LT(std::chrono::steady_clock::now() - asked, board_test::slow_build_bound(1s));
    EXPECT_TRUE(screen_shows(BLUE));
}

TEST_F(SequencerTest, NothingIsDrawnWhileTheScreenIsOff)
{
    set_hdmi_state(0);
    set_bannerbar_info(record("Sonic", picture("sonic.png", RED).c_str()));
    ASSERT_EQ(init_banner_thread(), 0);
    std::this_thread::sleep_for(1500ms);
    EXPECT_EQ(log->count("image start"), 0);
    EXPECT_NE(screen_pixel(10, 10), RED);
    // A replacement while the screen is off is taken at once, not after 25 s.
    std::string blue = picture("next.png", BLUE);
    auto asked = std::chrono::steady_clock::now();
    set_bannerbar_info(record("Next", blue.c_str()));
    EXPECT_LT(std::chrono::steady_clock::now() - asked, board_test::slow_build_bound(1s));
    set_hdmi_state(1);
    EXPECT_TRUE(screen_shows(BLUE));
    EXPECT_EQ(log->count("image start , " + path(std::string(GAMES) + "/sonic.png")), 0);
}

} // namespace
