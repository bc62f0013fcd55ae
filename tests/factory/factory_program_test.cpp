// The factory test program end to end: the real tavimoro-factory process in a board root, its
// screen and log, the recovery key, and its answers on the simulated USB link.
#include "core/board_root.h"
#include "hostlink/report_socket.h"
#include "hostlink/wire.h"
#include "tests/support/program_fixture.h"
#include "tests/support/screen_reader.h"
#include "sim/screen_capture.h"
#include "sim/sim_board.h"

#include <SDL_image.h>
#include <SDL_ttf.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <thread>

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using board_test::BoardRootTest;
using board_test::screen_pixel;
using board_test::wait_until;

namespace {

const std::string DISK = std::string("/media/") + SIM_DEFAULT_DISK;
const std::string PRODUCT = DISK + "/vorlix";
const std::string MARKER = DISK + "/vorlix_factory_test.txt";
const std::string RECOVERY_KEY = "/sys/class/gpio/gpio1072/value";
const std::string FONT = "/rom/vorlix/fonts/Futura_Medium.ttf";
constexpr auto START_TIMEOUT = 60s;
constexpr auto STEP_TIMEOUT = 30s;
constexpr auto REPLY_TIMEOUT = 5s;
// Time for the key thread (20 ms period) to see the key released before the next press.
constexpr auto KEY_RELEASE_SETTLE = 200ms;
constexpr int COLOUR_TOLERANCE = 8;
constexpr int OUTPUT_WIDTH = 1920;
constexpr int OUTPUT_HEIGHT = 1080;
constexpr int BAND_HEIGHT = 360;

constexpr screen_pixel WHITE{255, 255, 255, 255};
constexpr screen_pixel RED{255, 0, 0, 255};
constexpr screen_pixel GREEN{0, 255, 0, 255};
constexpr screen_pixel BLUE{0, 0, 255, 255};
constexpr screen_pixel BLACK{0, 0, 0, 255};

bool near(screen_pixel shown, screen_pixel wanted)
{
    return std::abs(shown.r - wanted.r) <= COLOUR_TOLERANCE && std::abs(shown.g - wanted.g) <= COLOUR_TOLERANCE &&
           std::abs(shown.b - wanted.b) <= COLOUR_TOLERANCE;
}

// The whole output in one colour: the corners, the middle and both sides of the band's edge.
bool filled_with(const ScreenImage& screen, screen_pixel colour)
{
    const int points[][2] = {{0, 0},
                             {OUTPUT_WIDTH - 1, 0},
                             {OUTPUT_WIDTH / 2, BAND_HEIGHT - 1},
                             {OUTPUT_WIDTH / 2, BAND_HEIGHT},
                             {OUTPUT_WIDTH / 2, OUTPUT_HEIGHT / 2},
                             {0, OUTPUT_HEIGHT - 1},
                             {OUTPUT_WIDTH - 1, OUTPUT_HEIGHT - 1}};
    for (const auto& point : points) {
        if (!near(board_test::pixel_at(screen, point[0], point[1]), colour))
            return false;
    }
    return true;
}

// The version card as the program should draw it: `text` in the 128-point product font, white,
// centred on a black 1920x360 card.
ScreenImage expected_card(const std::string& text)
{
    ScreenImage card;
    card.width = OUTPUT_WIDTH;
    card.height = BAND_HEIGHT;
    card.rgba.assign(size_t(card.width) * card.height * 4, 0);
    for (size_t alpha = 3; alpha < card.rgba.size(); alpha += 4)
        card.rgba[alpha] = 255;
    EXPECT_EQ(TTF_Init(), 0);
    TTF_Font* font = TTF_OpenFont(BoardRootTest::path(FONT).c_str(), 128);
    EXPECT_NE(font, nullptr);
    SDL_Surface* rendered = font ? TTF_RenderUTF8_Blended(font, text.c_str(), {255, 255, 255, 255}) : nullptr;
    SDL_Surface* surface = rendered ? SDL_ConvertSurfaceFormat(rendered, SDL_PIXELFORMAT_ABGR8888, 0) : nullptr;
    EXPECT_NE(surface, nullptr);
    if (surface) {
        int left = (OUTPUT_WIDTH - surface->w) / 2;
        int top = (BAND_HEIGHT - surface->h) / 2;
        for (int y = 0; y < surface->h; y++) {
            for (int x = 0; x < surface->w; x++) {
                const uint8_t* p = static_cast<const uint8_t*>(surface->pixels) + y * surface->pitch + x * 4;
                uint8_t* q = card.rgba.data() + (size_t(top + y) * card.width + size_t(left + x)) * 4;
                // Blended over black, as the program blits it.
                for (int colour = 0; colour < 3; colour++)
                    q[colour] = uint8_t(p[colour] * p[3] / 255);
            }
        }
    }
    SDL_FreeSurface(surface);
    SDL_FreeSurface(rendered);
    if (font)
        TTF_CloseFont(font);
    TTF_Quit();
    return card;
}

// Pixels of the band that differ from `card` by more than the tolerance in some colour.
size_t band_differences(const ScreenImage& screen, const ScreenImage& card)
{
    size_t differing = 0;
    for (size_t i = 0; i < card.rgba.size(); i += 4) {
        for (int colour = 0; colour < 3; colour++) {
            if (std::abs(int(screen.rgba[i + colour]) - int(card.rgba[i + colour])) > COLOUR_TOLERANCE) {
                differing++;
                break;
            }
        }
    }
    return differing;
}

// Every file and directory under the root with its size and modification time.
std::map<std::string, std::string> snapshot(const std::string& root)
{
    std::map<std::string, std::string> entries;
    for (const fs::directory_entry& entry : fs::recursive_directory_iterator(root)) {
        std::error_code error;
        auto size = entry.is_regular_file() ? entry.file_size() : 0;
        auto time = fs::last_write_time(entry.path(), error).time_since_epoch().count();
        entries[entry.path().string()] = std::to_string(size) + "@" + std::to_string(time);
    }
    return entries;
}

class FactoryProgramTest : public board_test::ProgramTest {
protected:
    void SetUp() override
    {
        ProgramTest::SetUp();
        write_file("/emulator/version", "V9.8.7-line\n");
    }

    void start(const std::string& log_file) { start_program(FACTORY_PROGRAM, log_file); }

    // Starts the program with the marker in place and waits for the white screen.
    void start_test()
    {
        write_file(MARKER, "");
        start(path("/sim/factory.log"));
        ASSERT_TRUE(wait_for_fill(WHITE, START_TIMEOUT)) << log();
    }

    int stop() { return stop_program(STEP_TIMEOUT); }

    bool wait_for_log(const std::string& text, size_t from = 0) const
    {
        return ProgramTest::wait_for_log(text, STEP_TIMEOUT, from);
    }

    static bool wait_for_fill(screen_pixel colour, std::chrono::milliseconds timeout = STEP_TIMEOUT)
    {
        return board_test::wait_for_screen_that([&](const ScreenImage& screen) { return filled_with(screen, colour); },
                                                timeout)
            .has_value();
    }

    // One press of the recovery key: down until the program reports it, then up again.
    void press_key()
    {
        size_t mark = log().size();
        write_file(RECOVERY_KEY, "0\n");
        EXPECT_TRUE(wait_for_log("recovery down", mark)) << log();
        write_file(RECOVERY_KEY, "1\n");
        std::this_thread::sleep_for(KEY_RELEASE_SETTLE);
    }
};

// The next report the board sends on `link`; nullopt when none comes in time.
std::optional<hid_report> next_reply(const UniqueFD& link)
{
    pollfd readable{link.get(), POLLIN, 0};
    if (poll(&readable, 1, int(std::chrono::milliseconds(REPLY_TIMEOUT).count())) != 1)
        return std::nullopt;
    hid_report reply{};
    if (recv(link.get(), reply.data(), reply.size(), 0) != ssize_t(REPORT_SIZE))
        return std::nullopt;
    return reply;
}

bool send_report(const UniqueFD& link, const hid_report& report)
{
    return send(link.get(), report.data(), report.size(), MSG_NOSIGNAL) == ssize_t(REPORT_SIZE);
}

TEST_F(FactoryProgramTest, WithoutTheMarkerItLeavesAtOnceAndTouchesNothing)
{
    // A marker one level too deep, and a plain file among the disks, do not count.
    write_file(DISK + "/sub/vorlix_factory_test.txt", "");
    write_file("/media/vorlix_factory_test.txt", "");
    std::map<std::string, std::string> before = snapshot(board_test::process_root());

    // The log is kept outside the root, which must stay as it was.
    const std::string log_file = board_test::process_root() + "-factory.log";
    start(log_file);
    int status = wait_exit(STEP_TIMEOUT);
    std::string text = log();
    fs::remove(log_file);
    EXPECT_EQ(status, 0) << text;
    EXPECT_EQ(text.rfind("Vorlix Factory Test V1.0.1\n", 0), 0u) << text;
    EXPECT_NE(text.find("find path " + path(DISK) + "\n"), std::string::npos) << text;
    EXPECT_NE(text.find("find path " + path("/media/vorlix_factory_test.txt") + "\n"), std::string::npos) << text;
    EXPECT_EQ(text.find("found package"), std::string::npos) << text;
    EXPECT_EQ(snapshot(board_test::process_root()), before);
}

TEST_F(FactoryProgramTest, TheRecoveryKeyStepsThroughColoursAndTheVersionCard)
{
    start_test();
    EXPECT_TRUE(wait_for_log("found package of " + path(MARKER) + ".\n")) << log();
    EXPECT_TRUE(wait_for_log("init_factory_reset: V9.8.7-line\n")) << log();
    for (screen_pixel colour : {RED, GREEN, BLUE, BLACK}) {
        press_key();
        EXPECT_TRUE(wait_for_fill(colour)) << int(colour.r) << "," << int(colour.g) << "," << int(colour.b);
    }

    // The card shows the version's line without its line break.
    press_key();
    ScreenImage card = expected_card("V9.8.7-line");
    size_t least = card.rgba.size();
    EXPECT_TRUE(board_test::wait_for_screen_that(
        [&](const ScreenImage& screen) {
            if (!near(board_test::pixel_at(screen, OUTPUT_WIDTH / 2, OUTPUT_HEIGHT / 2), BLACK))
                return false;
            least = std::min(least, band_differences(screen, card));
            return least == 0;
        },
        STEP_TIMEOUT))
        << least << " pixels of the band differ from the version card";

    press_key();
    EXPECT_TRUE(wait_for_fill(WHITE));
    EXPECT_EQ(stop(), 0) << log();
    EXPECT_EQ(log().find("Tavimoro V1.0.6"), std::string::npos);
}

TEST_F(FactoryProgramTest, TheLinkAnswersWithoutPackagesOrConnectStateAndFirmwareNeedsRoomInBytes)
{
    start_test();
    UniqueFD link = connect_report_socket(path("/sim/host.sock"));
    ASSERT_TRUE(link.valid());
    set_disk_free(SIM_DEFAULT_DISK, 1);

    // Neither is answered: the first reply that comes is that of the firmware prepare.
    ASSERT_TRUE(send_report(link, make_request(CMD_CONNECT_STATE)));
    ASSERT_TRUE(send_report(link, make_file_prepare(CMD_PACKAGE_PREPARE, 100, packet_count(100), "games.zip")));
    ASSERT_TRUE(send_report(link, make_file_prepare(CMD_FW_PREPARE, 1025, packet_count(1025), "fw.img")));
    std::optional<hid_report> reply = next_reply(link);
    ASSERT_TRUE(reply) << log();
    EXPECT_EQ((*reply)[OFFSET_COMMAND], CMD_FW_PREPARE);
    EXPECT_EQ((*reply)[OFFSET_STATUS], 2) << "1025 bytes do not fit in 1 KiB";
    EXPECT_TRUE(wait_for_log("udisk size is not enough. file size 1025, free size 1024\n")) << log();

    ASSERT_TRUE(send_report(link, make_file_prepare(CMD_FW_PREPARE, 1024, packet_count(1024), "fw.img")));
    reply = next_reply(link);
    ASSERT_TRUE(reply) << log();
    EXPECT_EQ((*reply)[OFFSET_COMMAND], CMD_FW_PREPARE);
    EXPECT_EQ((*reply)[OFFSET_STATUS], 0);
    EXPECT_FALSE(fs::exists(path(PRODUCT)));
    EXPECT_EQ(stop(), 0) << log();
}

TEST_F(FactoryProgramTest, BannerInfoIsLookedUpByTitleInTheProductDirectoryOnly)
{
    std::string picture = PRODUCT + "/Star Fighter.png";
    SDL_Surface* surface = SDL_CreateRGBSurfaceWithFormat(0, OUTPUT_WIDTH, BAND_HEIGHT, 32, SDL_PIXELFORMAT_ABGR8888);
    ASSERT_NE(surface, nullptr);
    SDL_FillRect(surface, nullptr, SDL_MapRGBA(surface->format, 0xC0, 0x60, 0x20, 0xFF));
    make_dir(PRODUCT);
    ASSERT_EQ(IMG_SavePNG(surface, path(picture).c_str()), 0);
    SDL_FreeSurface(surface);
    // Only ".mp4" videos, also for a ROM name.
    write_file(PRODUCT + "/arcade/sf.avi", "not a video");
    start_test();

    ASSERT_EQ(host("info --title 'Star Fighter' --romname SF --leaderboard 'AAA 100\\nBBB 90'"), 0)
        << read_file("/sim/host.log");
    EXPECT_TRUE(wait_for_log("find_image_video_with_title iamge file " + path(picture) + "\n")) << log();
    EXPECT_TRUE(wait_for_log("find_image_video_with_title video_file \n")) << log();
    EXPECT_TRUE(wait_for_log("img    title: star fighter\n")) << log();
    ScreenImage wanted;
    ASSERT_EQ(load_picture(path(picture), wanted), 0);
    EXPECT_TRUE(board_test::wait_for_screen_that(
        [&](const ScreenImage& screen) { return screen_shows(screen, wanted, COLOUR_TOLERANCE); }, STEP_TIMEOUT))
        << log();
    // The leaderboard follows as a still card, not a scroll.
    EXPECT_TRUE(wait_for_log("banner_proc: leaderboard start\n")) << log();
    EXPECT_TRUE(wait_for_log("get_surface_leaderboard: AAA 100\nBBB 90\n")) << log();
    EXPECT_EQ(log().find("dis time="), std::string::npos);
    EXPECT_EQ(stop(), 0) << log();
}

} // namespace
