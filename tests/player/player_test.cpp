// The player end to end: the real tavimoro process in a board root, driven over its USB link by
// the real host tool, watched through its log, its screen and the board files it writes.
#include "banner/surface.h"
#include "core/board_root.h"
#include "display/virtual_output.h"
#include "tests/player/player_fixture.h"
#include "hostlink/report_socket.h"
#include "hostlink/wire.h"
#include "tests/device/misc_image.h"
#include "tests/support/firmware_signing.h"
#include "tests/support/program_fixture.h"
#include "tests/support/screen_reader.h"
#include "sim/sample_media.h"
#include "sim/sim_board.h"
#include "tests/support/text_ink.h"

#include <SDL2/SDL_ttf.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <thread>

namespace fs = std::filesystem;
using namespace player_test;
using board_test::wait_until;

namespace {

TEST_F(PlayerProgramTest, StartsWithTheBootPictureAndShutsDownInOrderOnSigterm)
{
    start_player();
    // The frame that showed it: the boot picture stands for seconds only before the boot video.
    std::optional<ScreenImage> screen = board_test::screen_showing(BOOT_PICTURE, START_TIMEOUT);
    ASSERT_TRUE(screen) << log();
    EXPECT_EQ(board_test::pixel_at(*screen, 960, 700), (board_test::screen_pixel{0, 0, 0, 255}))
        << "below the band the screen stays black";

    EXPECT_EQ(stop_player(), 0) << log();
    const std::string text = log();
    size_t position = text.find("main: main while exit");
    for (const char* step : {"stop_event_thread", "video_proc: end", "stop_key_thread"}) {
        ASSERT_NE(position, std::string::npos) << text;
        position = text.find(step, position);
        EXPECT_NE(position, std::string::npos) << step << " in order\n" << text;
    }
}

TEST_F(PlayerProgramTest, BannerInfoShowsTheGamesMediaFromTheRightTree)
{
    start_player();
    ASSERT_TRUE(band_shows(BOOT_PICTURE, START_TIMEOUT)) << log();

    ASSERT_EQ(host("info --title 'Star Fighter' --title2 'Star Fighter'"), 0) << read_file("/sim/host.log");
    EXPECT_TRUE(band_shows(PRODUCT + "/vorlix/star fighter.png")) << log();
    EXPECT_TRUE(wait_for_log("video_file " + path(PRODUCT + "/vorlix/star fighter.mp4"))) << log();

    // The video in the second tree, the picture in the third.
    size_t mark = log().size();
    ASSERT_EQ(host("info --title 'Road Racer' --title2 'Road Racer'"), 0);
    EXPECT_TRUE(wait_for_log("video_file " + path(PRODUCT + "/ext/road racer.mp4"), STEP_TIMEOUT, mark)) << log();
    EXPECT_TRUE(wait_for_log("iamge file " + path(PRODUCT + "/thirdparty/road racer.jpg"), STEP_TIMEOUT, mark));

    // Found only by its ROM name, in a subdirectory of the third tree.
    ASSERT_EQ(host("info --title 'Pixel Quest' --title2 'Pixel Quest' --romname PQUEST"), 0);
    EXPECT_TRUE(band_shows(PRODUCT + "/thirdparty/arcade/pquest.png")) << log();

    // Only a title: the boot media come back.
    ASSERT_EQ(host("info --title 'Nothing Else'"), 0);
    EXPECT_TRUE(band_shows(BOOT_PICTURE)) << log();
}

TEST_F(PlayerProgramTest, AGameChosenBeforeTheBootVideoStartedStillPlaysItsVideo)
{
    start_player();
    ASSERT_EQ(host("info --title 'Star Fighter' --title2 'Star Fighter'"), 0) << read_file("/sim/host.log");
    // The player streams the clip: frames of the video replace the picture in the band.
    ASSERT_TRUE(wait_for_log("video start,  " + path(PRODUCT + "/vorlix/star fighter.mp4"))) << log();
    ScreenImage picture;
    ASSERT_EQ(load_picture(path(PRODUCT + "/vorlix/star fighter.png"), picture), 0);
    EXPECT_TRUE(board_test::wait_for_screen_that(
        [&](const ScreenImage& screen) { return !screen_shows(screen, picture, board_test::COLOUR_TOLERANCE); },
        STEP_TIMEOUT))
        << log();
}

TEST_F(PlayerProgramTest, APushedPictureIsShown)
{
    start_player();
    ASSERT_EQ(host("image " + shell_quote(path(PRODUCT + "/thirdparty/arcade/pquest.png")) + " --title 'Pixel Quest'"), 0)
        << read_file("/sim/host.log");
    EXPECT_TRUE(band_shows(PRODUCT + "/thirdparty/arcade/pquest.png")) << log();
}

// The first frame after `before` that shows a picture of the marquee's shape: fitted to the band's
// height, it leaves black bars at both sides. Frames of the boot video shown until then fill the
// band, and under emulation the picture may take seconds to come.
std::optional<ScreenImage> pillarboxed_band_after(int64_t before)
{
    return board_test::wait_for_screen_that(
        [before](const ScreenImage& screen) {
            if (int64_t(screen.sequence) <= before)
                return false;
            for (int y : {10, BANNER_HEIGHT / 2, BANNER_HEIGHT - 10}) {
                for (int x : {100, BANNER_WIDTH - 100}) {
                    board_test::screen_pixel side = board_test::pixel_at(screen, x, y);
                    if (std::max({side.r, side.g, side.b}) > board_test::COLOUR_TOLERANCE)
                        return false;
                }
            }
            board_test::screen_pixel middle = board_test::pixel_at(screen, BANNER_WIDTH / 2, 10);
            return std::max({middle.r, middle.g, middle.b}) > board_test::COLOUR_TOLERANCE;
        },
        STEP_TIMEOUT);
}

// A typical scraped marquee (textured artwork with a logo, a PNG of about 350 kB, wider than the
// band's shape) travels fitted to the band: as a JPEG of quality 90, far smaller, and the band
// shows what it shows of the file sent as it is. JPEG halves the colour resolution, so single
// pixels on the logo's coloured edges may differ much; what the eye sees does not: the mean
// difference, and the average colour of every 8×8 block (the tolerance the other screen checks
// allow for scaling) stay close.
TEST_F(PlayerProgramTest, APushedPictureTravelsFittedToTheBandAndFarSmaller)
{
    constexpr double MEAN_DIFFERENCE_MAX = 2.0;
    constexpr int BLOCK = 8;
    const std::string marquee = "/sim/marquee.png";
    ASSERT_EQ(make_sample_picture(path(marquee), 1600, 400, "SUPER ARCADE", 0xE0A040, 1), 0);
    start_player();
    const std::string screen_file = path(SCREEN_FILE);

    size_t mark = log().size();
    int64_t frame = read_screen_sequence(screen_file);
    ASSERT_EQ(host("image --as-is --name original.png " + shell_quote(path(marquee))), 0) << read_file("/sim/host.log");
    ASSERT_TRUE(wait_for_log("image start , " + path("/tmp/original.png"), STEP_TIMEOUT, mark)) << log();
    std::optional<ScreenImage> original = pillarboxed_band_after(frame);
    ASSERT_TRUE(original);

    mark = log().size();
    frame = read_screen_sequence(screen_file);
    ASSERT_EQ(host("image " + shell_quote(path(marquee))), 0) << read_file("/sim/host.log");
    ASSERT_TRUE(wait_for_log("image start , " + path("/tmp/show_image.jpg"), STEP_TIMEOUT, mark)) << log();
    std::optional<ScreenImage> fitted = pillarboxed_band_after(frame);
    ASSERT_TRUE(fitted);

    EXPECT_EQ(fs::file_size(path("/tmp/original.png")), fs::file_size(path(marquee)));
    EXPECT_LT(fs::file_size(path("/tmp/show_image.jpg")) * 3, fs::file_size(path(marquee)))
        << "at a third of the bytes, the picture reaches a slow link's screen three times sooner";
    double total = 0;
    int block_most = 0;
    for (int y = 0; y < BANNER_HEIGHT; y += BLOCK) {
        for (int x = 0; x < BANNER_WIDTH; x += BLOCK) {
            for (int colour = 0; colour < 3; colour++) {
                int sums[2] = {0, 0};
                for (int dy = 0; dy < BLOCK; dy++) {
                    for (int dx = 0; dx < BLOCK; dx++) {
                        size_t at = (size_t(y + dy) * original->width + x + dx) * 4 + colour;
                        sums[0] += original->rgba[at];
                        sums[1] += fitted->rgba[at];
                        total += std::abs(int(original->rgba[at]) - int(fitted->rgba[at]));
                    }
                }
                block_most = std::max(block_most, std::abs(sums[0] - sums[1]) / (BLOCK * BLOCK));
            }
        }
    }
    double mean = total / (double(BANNER_HEIGHT) * BANNER_WIDTH * 3);
    printf("the picture travels in %ju bytes of %ju; mean difference %.2f, largest 8x8 block difference %d\n",
           fs::file_size(path("/tmp/show_image.jpg")), fs::file_size(path(marquee)), mean, block_most);
    EXPECT_LT(mean, MEAN_DIFFERENCE_MAX);
    EXPECT_LE(block_most, board_test::COLOUR_TOLERANCE);
}

// A still picture is drawn once and the player then rests until something changes, also when the
// next cycle shows the same picture again. Redrawing it every few milliseconds, as a polling video
// thread would, costs several times the bound, which leaves room for a busy machine and the
// sanitizer build. Under emulation a single draw costs seconds of processor time, so a redraw
// each cycle fails there too.
TEST_F(PlayerProgramTest, AStillPictureCostsNextToNoProcessorTime)
{
    constexpr double MOST_OF_A_CORE = 0.15;
    constexpr auto QUIET = 1s;
    start_player();
    size_t mark = log().size();
    // A game with a picture and no video: its picture stays on screen, cycle after cycle.
    ASSERT_EQ(host("info --title 'Moon Miner' --title2 'Moon Miner'"), 0) << read_file("/sim/host.log");
    ASSERT_TRUE(wait_for_log("banner_proc: image start , ", STEP_TIMEOUT, mark)) << log();
    const std::string screen_file = path(SCREEN_FILE);
    int64_t drawn = read_screen_sequence(screen_file);
    auto last_change = std::chrono::steady_clock::now();
    ASSERT_TRUE(wait_until(
        [&] {
            int64_t now = read_screen_sequence(screen_file);
            if (now != drawn) {
                drawn = now;
                last_change = std::chrono::steady_clock::now();
            }
            return std::chrono::steady_clock::now() - last_change >= board_test::slow_build_bound(QUIET);
        },
        STEP_TIMEOUT))
        << "the picture is drawn and then left alone";
    // The window spans the start of the next cycle, three seconds after the last.
    mark = log().size();
    double share = process_cpu_share(program_, 3s);
    ASSERT_GE(share, 0.0);
    EXPECT_LT(share, MOST_OF_A_CORE) << "share of a core while a still picture is shown";
    EXPECT_TRUE(wait_for_log("banner_proc: image start , ", STEP_TIMEOUT, mark)) << log();
    EXPECT_EQ(read_screen_sequence(screen_file), drawn) << "the same picture is not drawn again";
}

TEST_F(PlayerProgramTest, TheUsbHostStateSwitchesTheScreenAndRequeuesTheBootMedia)
{
    start_player();
    ASSERT_TRUE(wait_for_log("EVENT_GADGET_STATE_CONFIGURED")) << log();
    size_t mark = log().size();
    write_file(UDC_STATE, "suspended\n");
    EXPECT_TRUE(wait_until([&] { return read_file(HDMI_STATUS) == "off\n"; }, STEP_TIMEOUT)) << log();
    EXPECT_TRUE(wait_for_log("EVENT_GADGET_STATE_SUSPEND", STEP_TIMEOUT, mark));
    EXPECT_TRUE(wait_for_log("set_bannerbar_info: image file = " + path(BOOT_PICTURE), STEP_TIMEOUT, mark)) << log();
    write_file(UDC_STATE, "configured\n");
    EXPECT_TRUE(wait_until([&] { return read_file(HDMI_STATUS) == "on\n"; }, STEP_TIMEOUT)) << log();
}

TEST_F(PlayerProgramTest, AFirmwareTransferHandsOverToRecoveryAndLaterMessagesAreDropped)
{
    start_player();
    write_file("/tmp/fw.img", std::string(5000, 'f'));
    ASSERT_EQ(host("firmware " + shell_quote(path("/tmp/fw.img"))), 0) << read_file("/sim/host.log");
    ASSERT_TRUE(wait_until([&] { return reboot_runs() == 1; }, STEP_TIMEOUT)) << log();
    EXPECT_EQ(read_file("/dev/rknand_misc").substr(0, 3 * misc_test::PAGE),
              misc_test::expected_misc_image("/vorlix_update_online.img"));

    size_t mark = log().size();
    ASSERT_EQ(host("info --title X --title2 'Star Fighter'"), 0);
    ASSERT_TRUE(wait_for_log("data ready", STEP_TIMEOUT, mark));
    ASSERT_EQ(stop_player(), 0) << log();
    EXPECT_EQ(log().find("banner_info.title2", mark), std::string::npos) << log();
}

TEST_F(PlayerProgramTest, ANewUpdateImageOnTheDiskRunsTheUpdater)
{
    write_file(DISK + "/vorlix_update.img", "new firmware");
    start_player();
    ASSERT_TRUE(wait_until([&] { return reboot_runs() == 1; }, START_TIMEOUT)) << log();
    EXPECT_TRUE(wait_for_log("reboot to recovery.")) << log();
    EXPECT_EQ(read_file("/dev/rknand_misc").substr(0, 3 * misc_test::PAGE),
              misc_test::expected_misc_image("/vorlix_update.img"));
    EXPECT_EQ(read_file("/data/firmware_md5sum").size(), 33u);
}

// With the board's key, neither the disk's image nor the host's goes to recovery unsigned or
// wrongly signed: the misc partition stays as it was, "Updating" never shows, the host hears a
// failure, and the images stay on the disk.
TEST_F(PlayerProgramTest, WithAKeyOnlySignedFirmwareReachesRecovery)
{
    if (!board_test::have_minisign())
        GTEST_SKIP() << board_test::NO_MINISIGN;
    ASSERT_TRUE(board_test::make_signing_key("board"));
    board_test::install_board_key("board");
    const std::string misc = read_file("/dev/rknand_misc");
    write_file(DISK + "/vorlix_update.img", "new firmware");
    start_player();
    ASSERT_TRUE(wait_for_log(path(DISK + "/vorlix_update.img") + " refused: no signature file beside it")) << log();

    const std::string image = "/host/fw.img";
    const std::string firmware = "firmware " + shell_quote(path(image));
    const std::string stored = path(DISK + "/vorlix_update_online.img");
    write_file(image, std::string(5000, 'f'));
    EXPECT_EQ(host(firmware), 1);
    EXPECT_NE(read_file("/sim/host.log").find("no signature"), std::string::npos) << read_file("/sim/host.log");
    EXPECT_TRUE(wait_for_log(stored + " refused: no signature file beside it")) << log();
    EXPECT_EQ(host("update"), 1) << "the update request alone refuses it too";
    write_file("/host/other.img", "other firmware");
    ASSERT_TRUE(board_test::sign_image("/host/other.img", "board"));
    write_file(image + FIRMWARE_SIGNATURE_SUFFIX, read_file("/host/other.img.minisig"));
    EXPECT_EQ(host(firmware), 1);
    EXPECT_TRUE(wait_for_log(stored + " refused: the signature does not match the image")) << log();
    EXPECT_EQ(reboot_runs(), 0);
    EXPECT_EQ(read_file("/dev/rknand_misc"), misc);
    EXPECT_EQ(log().find("Updating"), std::string::npos) << log();
    EXPECT_TRUE(fs::exists(path(DISK + "/vorlix_update.img")) && fs::exists(stored));

    ASSERT_TRUE(board_test::sign_image(image, "board"));
    EXPECT_EQ(host(firmware), 0) << read_file("/sim/host.log");
    ASSERT_TRUE(wait_until([&] { return reboot_runs() == 1; }, STEP_TIMEOUT)) << log();
    EXPECT_EQ(read_file("/dev/rknand_misc").substr(0, 3 * misc_test::PAGE),
              misc_test::expected_misc_image("/vorlix_update_online.img"));
}

TEST_F(PlayerProgramTest, APackageIsUnpackedThenItsGameIsFound)
{
    start_player();
    ASSERT_EQ(make_sample_picture(path("/tmp/pkg/vorlix/comet.png"), 1920, 360, "COMET", 0x10C0C0), 0);
    std::string zip = "cd " + shell_quote(path("/tmp/pkg")) + " && zip -qr ../games.zip vorlix";
    ASSERT_EQ(system(zip.c_str()), 0);
    ASSERT_EQ(host("package " + shell_quote(path("/tmp/games.zip"))), 0) << read_file("/sim/host.log");
    EXPECT_TRUE(fs::exists(path(PRODUCT + "/vorlix/comet.png")));
    ASSERT_TRUE(wait_for_log("EVENT_PACKAGE_TRANSMIT_END")) << log();
    ASSERT_EQ(host("info --title Comet --title2 Comet"), 0);
    EXPECT_TRUE(band_shows(PRODUCT + "/vorlix/comet.png")) << log();
}

TEST_F(PlayerProgramTest, BannerMessagesAreDroppedWhileAPackageIsOnItsWay)
{
    start_player();
    {
        // A package announced and never sent: the transfer stays open.
        UniqueFD link = connect_report_socket(path("/sim/host.sock"));
        ASSERT_TRUE(link.valid());
        hid_report prepare = make_file_prepare(CMD_PACKAGE_PREPARE, 1000, packet_count(1000), "games.zip");
        ASSERT_EQ(send(link.get(), prepare.data(), prepare.size(), MSG_NOSIGNAL), ssize_t(REPORT_SIZE));
        ASSERT_TRUE(wait_for_log("EVENT_PACKAGE_TRANSMIT_START")) << log();
    }
    size_t mark = log().size();
    ASSERT_EQ(host("info --title X --title2 'Star Fighter'"), 0) << read_file("/sim/host.log");
    ASSERT_TRUE(wait_for_log("data ready", STEP_TIMEOUT, mark));
    ASSERT_EQ(stop_player(), 0) << log();
    EXPECT_EQ(log().find("banner_info.title2", mark), std::string::npos) << log();
}

TEST_F(PlayerProgramTest, SigusrTwoStopsStartsAndPlaysTheTestVideo)
{
    // GStreamer's file source says which file the pipeline opens.
    setenv("GST_DEBUG", "filesrc:4", 1);
    start_player();
    unsetenv("GST_DEBUG");
    // Sent to the player's main thread, which waits for events: ThreadSanitizer takes a signal
    // only when its thread passes through a call it intercepts, and one the kernel gave to a
    // thread waiting in a bare futex inside a library was never taken.
    auto signal_player = [this](int value) {
        siginfo_t sent{};
        sent.si_signo = SIGUSR2;
        sent.si_code = SI_QUEUE;
        sent.si_pid = getpid();
        sent.si_uid = getuid();
        sent.si_value.sival_int = value;
        return syscall(SYS_rt_tgsigqueueinfo, program_, program_, SIGUSR2, &sent) == 0;
    };
    // Stopped, the player thread ends; started again, it loads the test video; then it plays.
    ASSERT_TRUE(signal_player(3));
    ASSERT_TRUE(wait_for_log("EVENT_PLAYER_STOP")) << log();
    ASSERT_TRUE(signal_player(2));
    ASSERT_TRUE(wait_for_log("EVENT_PLAYER_START")) << log();
    const std::string opened = "opening file " + path(DISK + "/smile_300.mp4");
    // Play is asked again until the new thread's pipeline exists and takes it.
    EXPECT_TRUE(wait_until([&] { return signal_player(4) && wait_for_log(opened, 500ms); }, STEP_TIMEOUT)) << log();
    EXPECT_EQ(stop_player(), 0) << log();
}

// The board's font has Latin letters only, as the product's own font; the font folder's second
// font has the rest. Each title card, and the leaderboard, shows that font's glyphs, not boxes.
TEST_F(PlayerProgramTest, NamesInEveryScriptShowRealGlyphsOnTitleCardsAndTheLeaderboard)
{
    constexpr int TITLE_POINTS = 128;
    constexpr int BAND_HEIGHT = 360;
    // The scroll moves 150 pixels a second: the leading spaces keep the names whole on screen
    // for the first seconds of it.
    const std::string LEADING_SPACES(12, ' ');
    if (!fs::exists(SIM_CJK_FONT))
        GTEST_SKIP() << SIM_CJK_FONT << " is missing (Debian's fonts-wqy-microhei)";
    const std::string font = path("/rom/vorlix/fonts/Futura_Medium.ttf");
    ASSERT_EQ(board_test::make_latin_only_font(font, font + ".latin"), 0);
    fs::rename(font + ".latin", font);
    ASSERT_EQ(TTF_Init(), 0);
    TTF_Font* cjk = TTF_OpenFont(SIM_CJK_FONT, TITLE_POINTS);
    ASSERT_TRUE(cjk);
    auto shows_text = [&](const std::string& text) {
        SDL_Surface* rendered = TTF_RenderUTF8_Blended(cjk, text.c_str(), {255, 255, 255, 255});
        board_test::Ink expected = board_test::text_ink(rendered);
        SDL_FreeSurface(rendered);
        return board_test::wait_for_screen_that(
                   [&](const ScreenImage& screen) {
                       return board_test::same_ink(board_test::band_ink(screen, BAND_HEIGHT), expected,
                                                   board_test::COLOUR_TOLERANCE);
                   },
                   STEP_TIMEOUT)
            .has_value();
    };
    start_player();
    for (const std::string name : {"ストリートファイター", "街头霸王", "스트리트파이터", "Тетрис", "Τέτρις"}) {
        ASSERT_EQ(host("info --title " + shell_quote(name) + " --title2 " + shell_quote(name)), 0);
        EXPECT_TRUE(shows_text(name)) << name << " on its title card\n" << log();
    }
    const std::string scores = "스트리트 Тетрис";
    ASSERT_EQ(host("info --title Scores --title2 Scores --leaderboard " + shell_quote(LEADING_SPACES + scores)), 0);
    EXPECT_TRUE(shows_text(scores)) << "the leaderboard\n" << log();
    TTF_CloseFont(cjk);
    TTF_Quit();
}

} // namespace
