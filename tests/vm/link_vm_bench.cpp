// The host link's figures on the real kernel: reports per second and payload bytes per second
// through f_hid, dummy_hcd and usbhid, each beside the limit of the interval the host sees: raw
// (host node to gadget node, alone and beside the player's video), `tavimoro-host send` of 1 and
// 16 MiB through the player while its video plays and while a still picture shows, and
// `tavimoro-host image` of a typical scraped marquee from the command to the picture in the
// scanout, as it is and fitted. Not part of the suite (minutes in the VM); run it as the README
// says. The host and the board are two machines, but here they share the VM's two processors: the
// board's side (the player, the raw reader) runs on one, the host's side (tavimoro-host, the raw
// writer) on the other, so that neither takes the other's processor time. Both controllers'
// work runs on those emulated processors too, so the link goes at the pace the board's processor
// leaves it, for a bare reader as for the player: the raw rate beside the video measures that.
// Beside them, the scroll's processor time on the emulated board (LinkBench.ScrollBesideAStill).
#include "tests/vm/vm_board.h"

#include "core/board_root.h"
#include "hostlink/wire.h"
#include "sim/sample_media.h"
#include "sim/screen_capture.h"
#include "sim/sim_board.h"

#include <fcntl.h>
#include <sched.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <thread>

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr uint32_t MIB = 1024 * 1024;
constexpr int RAW_REPORTS = 8000;
constexpr const char* RAW = "raw: hidraw write -> hidg1 read";
constexpr int HIGH_SPEED_MBPS = 480;
constexpr double MICROFRAME_US = 125;
constexpr double FRAME_US = 1000;
constexpr auto STEP_TIMEOUT = 120s;
constexpr auto DUMP_INTERVAL = 250ms;
// The band differs from the one before by more than this on average: a new picture is on it.
constexpr double CHANGED_MEAN = 20;
constexpr int BAND_HEIGHT = 360;
// The board is quiet when the player takes at most this many clock ticks (a hundredth of a second
// each) of a processor in a period: 4 %.
constexpr auto QUIET_PERIOD = 500ms;
constexpr long QUIET_TICKS = 2;

// The scroll's measurement: a leaderboard that scrolls for 30 s, measured over 10 s once its
// first frames are drawn.
constexpr size_t SCROLL_BYTES = 120;
constexpr auto SCROLL_SETTLE = 2s;
constexpr auto CPU_INTERVAL = 10s;

const std::string PRODUCT = std::string("/media/") + SIM_DEFAULT_DISK + "/vorlix";
const std::string STILL_PICTURE = PRODUCT + "/vorlix/moon miner.png";
const std::string MARQUEE = "/sim/in/marquee.png";

std::string first_line(const fs::path& file)
{
    std::ifstream in(file);
    std::string line;
    std::getline(in, line);
    return line;
}

std::string guest_load()
{
    std::ifstream in("/proc/loadavg");
    std::string one, five;
    in >> one >> five;
    return "guest load " + one + " " + five;
}

constexpr int BOARD_CPU = 1;
constexpr int HOST_CPU = 0;

// Keeps the calling thread, and the processes it starts, on processor `cpu`.
void run_on(int cpu)
{
    cpu_set_t set;
    CPU_ZERO(&set);
    CPU_SET(cpu, &set);
    EXPECT_EQ(sched_setaffinity(0, sizeof set, &set), 0) << strerror(errno);
}

// The board's side of a raw measurement: the calling thread on the board's processor at the
// lowest real-time priority, as the player's reader runs, so that the raw rate beside the video
// is not that of a reader the video pushes aside.
void run_as_board_reader()
{
    run_on(BOARD_CPU);
    sched_param param{};
    param.sched_priority = sched_get_priority_min(SCHED_FIFO);
    EXPECT_EQ(sched_setscheduler(0, SCHED_FIFO, &param), 0) << strerror(errno);
}

double seconds_since(Clock::time_point start)
{
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// The VM's gadget node, which the board root's node links to.
fs::path gadget_node()
{
    return fs::read_symlink(board_path("/dev/hidg1"));
}

// Prints `rate` in reports/s and payload bytes/s beside the `limit` of the interval; returns `rate`.
double print_rate(const char* what, double rate, double limit)
{
    printf("%-44s %6.0f reports/s %7.1f kB/s payload | limit %.0f reports/s %.1f kB/s | %s\n", what, rate,
           rate * PAYLOAD_MAX / 1000, limit, limit * PAYLOAD_MAX / 1000, guest_load().c_str());
    return rate;
}

// Reports/s from the host's hidraw node to the board's gadget node `node`, nothing else on
// either side: `reports` of them.
double raw_rate(double limit, const char* what = RAW, const fs::path& node = gadget_node(), int reports = RAW_REPORTS)
{
    int host = open(vm_test::hidraw_node().c_str(), O_RDWR | O_CLOEXEC);
    int board = open(node.c_str(), O_RDWR | O_CLOEXEC);
    EXPECT_GE(host, 0);
    EXPECT_GE(board, 0);
    Clock::time_point start = Clock::now();
    run_on(HOST_CPU);
    std::thread reader([&] {
        run_as_board_reader();
        uint8_t report[REPORT_SIZE];
        for (int i = 0; i < reports && read(board, report, sizeof report) == ssize_t(REPORT_SIZE); i++) {
        }
    });
    uint8_t written[REPORT_SIZE + 1] = {0};
    for (int i = 0; i < reports; i++)
        EXPECT_EQ(write(host, written, sizeof written), ssize_t(sizeof written));
    reader.join();
    double seconds = seconds_since(start);
    close(host);
    close(board);
    return print_rate(what, reports / seconds, limit);
}

class LinkBench : public vm_test::VmBoardTest {
protected:
    void SetUp() override
    {
        VmBoardTest::SetUp();
        if (IsSkipped())
            return;
        ASSERT_EQ(make_sample_picture(path(PRODUCT + "/.assets/vorlix-boot.png"), 1920, BAND_HEIGHT, "TAVIMORO", 0x2040C0),
                  0);
        ASSERT_EQ(make_sample_clip(path(PRODUCT + "/.assets/vorlix-boot.mp4"), "ball", 4, 960, 180), 0);
        ASSERT_EQ(make_sample_picture(path(STILL_PICTURE), 1920, BAND_HEIGHT, "MOON MINER", 0x8020C0), 0);
        ASSERT_EQ(make_sample_picture(path(MARQUEE), 1600, 400, "SUPER ARCADE", 0xE0A040, 1), 0);
    }

    // The host's view of the link's OUT endpoint: the rate its interval allows, in reports/s.
    static double out_limit()
    {
        fs::path interface = fs::canonical("/sys/class/hidraw/" + fs::path(vm_test::hidraw_node()).filename().string() +
                                           "/device/..");
        int speed = std::atoi(first_line(interface / ".." / "speed").c_str());
        double limit = 0;
        for (const auto& entry : fs::directory_iterator(interface)) {
            if (entry.path().filename().string().rfind("ep_", 0) != 0)
                continue;
            std::string direction = first_line(entry.path() / "direction");
            int b_interval = std::stoi(first_line(entry.path() / "bInterval"), nullptr, 16);
            double period_us = speed == HIGH_SPEED_MBPS ? MICROFRAME_US * (1 << (b_interval - 1)) : FRAME_US * b_interval;
            printf("host sees %s endpoint %s: bInterval %d (%s) at %d Mbit/s: at most %.0f reports/s\n",
                   direction.c_str(), entry.path().filename().c_str(), b_interval,
                   first_line(entry.path() / "interval").c_str(), speed, 1e6 / period_us);
            if (direction == "out")
                limit = 1e6 / period_us;
        }
        std::string attribute = vm_test::gadget_dir() + "/functions/hid.usb1/interval";
        printf("gadget's interval attribute: %s\n",
               fs::exists(attribute) ? first_line(attribute).c_str() : "none (this kernel has none)");
        return limit;
    }

    // Reports/s of `tavimoro-host send` of `size` bytes; whether the file arrived whole.
    static double send_through_player(const char* what, uint32_t size, double limit)
    {
        std::string data(size, '\0');
        std::minstd_rand bytes(size);
        for (char& byte : data)
            byte = static_cast<char>(bytes());
        write_file("/sim/in/link.bin", data);
        Clock::time_point start = Clock::now();
        board_test::command_result result =
            vm_test::run_host_tool("send --name link.bin " + shell_quote(path("/sim/in/link.bin")));
        double seconds = seconds_since(start);
        EXPECT_EQ(result.status, 0) << result.output;
        EXPECT_TRUE(read_file(std::string("/media/") + SIM_DEFAULT_DISK + "/link.bin") == data)
            << what << ": the file did not arrive whole";
        return print_rate(what, packet_count(size) / seconds, limit);
    }

    static std::vector<uint8_t> band()
    {
        vm_test::Screen screen;
        if (!vm_test::screendump(screen))
            return {};
        screen.rgb.resize(size_t(screen.width) * BAND_HEIGHT * 3);
        return screen.rgb;
    }

    // Seconds from `tavimoro-host image` with `options` to a new picture in the scanout's band.
    static double image_to_screen(const std::string& options)
    {
        std::vector<uint8_t> before = band();
        Clock::time_point start = Clock::now();
        board_test::command_result result = vm_test::run_host_tool("image " + options + " " + shell_quote(path(MARQUEE)));
        EXPECT_EQ(result.status, 0) << result.output;
        printf("tavimoro-host image %s: %s", options.c_str(), result.output.c_str());
        for (auto deadline = start + STEP_TIMEOUT; Clock::now() < deadline; std::this_thread::sleep_for(DUMP_INTERVAL)) {
            std::vector<uint8_t> now = band();
            if (now.size() == before.size() && mean_difference(before, now, now.size()) > CHANGED_MEAN)
                return seconds_since(start);
        }
        ADD_FAILURE() << "the picture did not reach the screen";
        return 0;
    }

    // Whether the player's log shows `trace` after its first `mark` bytes, in time.
    static bool wait_for_log(const std::string& trace, size_t mark)
    {
        return board_test::wait_until(
            [&] { return read_file(vm_test::PLAYER_LOG).find(trace, mark) != std::string::npos; }, STEP_TIMEOUT);
    }

    static bool show_still()
    {
        size_t mark = read_file(vm_test::PLAYER_LOG).size();
        board_test::command_result result = vm_test::run_host_tool("info --title 'Moon Miner' --title2 'Moon Miner'");
        return result.status == 0 && wait_for_log("image start , " + path(STILL_PICTURE), mark);
    }

    // The still picture shown and drawn. Mesa draws in software here, and the first picture after
    // a video takes it several seconds of the board's processor under emulation; a transfer sent
    // meanwhile would share the processor with it, which a board's GPU never asks.
    static bool show_still_drawn(const vm_test::PlayerProcess& player)
    {
        if (!show_still())
            return false;
        Clock::time_point start = Clock::now();
        for (long long before = process_cpu_ticks(player.pid()); Clock::now() < start + STEP_TIMEOUT;) {
            std::this_thread::sleep_for(QUIET_PERIOD);
            long long now = process_cpu_ticks(player.pid());
            if (now - before <= QUIET_TICKS) {
                printf("still picture drawn %.1f s after it was shown\n", seconds_since(start));
                return true;
            }
            before = now;
        }
        return false;
    }

    // The raw rate while the player plays its boot video, its link on a pipe that never speaks:
    // what the emulated link carries while the emulated board's processor runs the video. As many
    // reports as 1 MiB takes: the video's load comes and goes, a short count catches it unevenly.
    static double raw_beside_video(double limit)
    {
        fs::path node = gadget_node();
        fs::path link = path("/dev/hidg1");
        fs::remove(link);
        EXPECT_EQ(mkfifo(link.c_str(), 0600), 0) << strerror(errno);
        double rate = 0;
        {
            vm_test::PlayerProcess player(TAVIMORO_PLAYER);
            run_on(BOARD_CPU);
            EXPECT_TRUE(player.start());
            run_on(HOST_CPU);
            if (wait_for_log("banner_proc: video start", 0))
                rate = raw_rate(limit, "raw, the player's video playing beside it", node, int(packet_count(MIB)));
            EXPECT_EQ(player.terminate(), 0);
        }
        fs::remove(link);
        vm_test::link_real_nodes();
        return rate;
    }
};

// Reports/s of `tavimoro-host send` of 1 MiB to a board that answers the prepare and the verify
// and only drains the data reports: the host tool's own share of the way, without the player.
double drained_send_rate(double limit)
{
    int board = open(board_path("/dev/hidg1").c_str(), O_RDWR | O_CLOEXEC);
    EXPECT_GE(board, 0);
    std::thread drain([&] {
        run_as_board_reader();
        for (hid_report report; read(board, report.data(), report.size()) == ssize_t(REPORT_SIZE);) {
            uint8_t command = report[OFFSET_COMMAND];
            if (command == CMD_FILE_PREPARE || command == CMD_FILE_VERIFY) {
                fill_reply(report.data(), command, 0);
                EXPECT_EQ(write(board, report.data(), report.size()), ssize_t(REPORT_SIZE));
            }
            if (command == CMD_FILE_VERIFY)
                return;
        }
    });
    board_test::BoardRootTest::write_file("/sim/in/drained.bin", std::string(MIB, 'd'));
    Clock::time_point start = Clock::now();
    board_test::command_result result =
        vm_test::run_host_tool("send --name drained.bin " + shell_quote(board_test::BoardRootTest::path("/sim/in/drained.bin")));
    double seconds = seconds_since(start);
    EXPECT_EQ(result.status, 0) << result.output;
    drain.join();
    close(board);
    return print_rate("send 1 MiB to a board that only drains", packet_count(MIB) / seconds, limit);
}

// The host tool's share alone, without the player: run it by itself with
// --gtest_filter=LinkBench.ToolAgainstADrainingBoard.
TEST_F(LinkBench, ToolAgainstADrainingBoard)
{
    double limit = out_limit();
    double raw = raw_rate(limit);
    double drained = drained_send_rate(limit);
    printf("%-44s %.0f %% of raw\n", "", 100 * drained / raw);
}

// The same amount, 1 MiB, raw, through the tool alone and through the player (still picture),
// one after the other and twice, so that the load of the machine running the VM, which moves
// every figure, moves them alike. Run it by itself with --gtest_filter=LinkBench.OneMiBSideBySide.
TEST_F(LinkBench, OneMiBSideBySide)
{
    double limit = out_limit();
    for (int round = 0; round < 2; round++) {
        double raw = raw_rate(limit, RAW, gadget_node(), int(packet_count(MIB)));
        double drained = drained_send_rate(limit);
        vm_test::PlayerProcess player(TAVIMORO_PLAYER);
        run_on(BOARD_CPU);
        ASSERT_TRUE(player.start());
        run_on(HOST_CPU);
        ASSERT_TRUE(show_still_drawn(player));
        double through = send_through_player("send 1 MiB, still picture", MIB, limit);
        printf("round %d: tool alone %.0f %% of raw, through the player %.0f %% of raw, %.0f %% of the tool alone\n",
               round + 1, 100 * drained / raw, 100 * through / raw, 100 * through / drained);
        EXPECT_EQ(player.terminate(), 0);
    }
}

TEST_F(LinkBench, Figures)
{
    double limit = out_limit();
    double raw_before = raw_rate(limit);

    vm_test::PlayerProcess player(TAVIMORO_PLAYER);
    run_on(BOARD_CPU);
    ASSERT_TRUE(player.start());
    run_on(HOST_CPU);
    ASSERT_TRUE(wait_for_log("banner_proc: video start", 0)) << read_file(vm_test::PLAYER_LOG);
    ASSERT_TRUE(show_still_drawn(player));
    std::vector<std::pair<std::string, double>> through;
    auto send_both = [&](const std::string& condition) {
        for (uint32_t mib : {1, 16}) {
            std::string what = "send " + std::to_string(mib) + " MiB, " + condition;
            through.emplace_back(what, send_through_player(what.c_str(), mib * MIB, limit));
        }
    };
    send_both("still picture");

    double as_is = image_to_screen("--as-is --name original.png");
    ASSERT_TRUE(show_still_drawn(player));
    double fitted = image_to_screen("");
    printf("image of a %ju-byte marquee PNG, command -> scanout: %.2f s as it is, %.2f s fitted (%.1fx) | %s\n",
           fs::file_size(path(MARQUEE)), as_is, fitted, fitted > 0 ? as_is / fitted : 0.0, guest_load().c_str());

    // The boot banner again: it plays its video without end once its picture has been shown.
    size_t mark = read_file(vm_test::PLAYER_LOG).size();
    ASSERT_EQ(vm_test::run_host_tool("info").status, 0);
    ASSERT_TRUE(wait_for_log("banner_proc: video start", mark)) << read_file(vm_test::PLAYER_LOG);
    send_both("video playing");
    EXPECT_EQ(player.terminate(), 0);

    // The raw rate drifts by a tenth and more within one boot: the transfers are set against the
    // mean of the raw rates measured before and after them. Those during the video are also set
    // against the raw rate beside the same video, which tells the player's own share from what
    // the video's emulation takes from the board's processor, and so from the link.
    double raw = (raw_before + raw_rate(limit)) / 2;
    double beside_video = raw_beside_video(limit);
    for (const auto& [what, rate] : through) {
        printf("%-44s %3.0f %% of raw (%.0f reports/s)", what.c_str(), 100 * rate / raw, raw);
        if (what.find("video") != std::string::npos && beside_video > 0)
            printf(", %3.0f %% of raw beside the video (%.0f reports/s)", 100 * rate / beside_video, beside_video);
        printf("\n");
        EXPECT_GE(rate, 0.9 * raw) << what;
    }
}

// The scroll's processor time on the emulated board, in one boot: the player's share of a
// processor over 10 s of a still picture, of a leaderboard scrolled from its texture
// tiles, and of the same scroll painted frame by frame (the player started again with no tiles
// allowed, as before the scroll moved to the GPU). Mesa draws in software here, so what a board's
// GPU would do is on the processor too: the share of the player's own threads (llvmpipe's left
// out) is printed beside the process's. Run it by itself with
// --gtest_filter=LinkBench.ScrollBesideAStill.
TEST_F(LinkBench, ScrollBesideAStill)
{
    struct Share {
        double process = 0;
        double own = 0;  // the process's threads but the GPU's stand-ins
    };
    auto share_of = [](const vm_test::PlayerProcess& player) {
        std::this_thread::sleep_for(SCROLL_SETTLE);
        const auto before = thread_cpu_ticks(player.pid());
        const auto started = Clock::now();
        Share share{process_cpu_share(player.pid(), CPU_INTERVAL), 0};
        for (const auto& [name, thread] : thread_cpu_shares(player.pid(), before, seconds_since(started))) {
            if (!is_stand_in_thread(name))
                share.own += thread;
        }
        return share;
    };
    // Starts the player with its still picture drawn, and scrolls. The player has both
    // processors, as on the board: on one alone Mesa's software rendering fills it either way.
    auto measure = [&](Share* still) {
        vm_test::PlayerProcess player(TAVIMORO_PLAYER);
        EXPECT_TRUE(player.start());
        if (!show_still_drawn(player))
            return Share{-1, -1};
        if (still)
            *still = share_of(player);
        size_t mark = read_file(vm_test::PLAYER_LOG).size();
        EXPECT_EQ(vm_test::run_host_tool("info --leaderboard '" + std::string(SCROLL_BYTES, 'W') + "'").status, 0);
        if (!wait_for_log("banner_proc dis time=", mark))
            return Share{-1, -1};
        Share share = share_of(player);
        EXPECT_EQ(player.terminate(), 0);
        return share;
    };
    Share still;
    Share tiles = measure(&still);
    setenv("TAVIMORO_TEXTURE_LIMIT", "0", 1);
    Share painted = measure(nullptr);
    unsetenv("TAVIMORO_TEXTURE_LIMIT");
    ASSERT_GT(tiles.process, 0);
    ASSERT_GT(painted.process, 0);
    printf("player CPU over %lld s, of one processor of two (its own threads, llvmpipe's left out): still picture "
           "%.1f %% (%.1f %%), scroll of %zu bytes from tiles %.1f %% (%.1f %%), painted %.1f %% (%.1f %%) | %s\n",
           static_cast<long long>(CPU_INTERVAL.count()), 100 * still.process, 100 * still.own, SCROLL_BYTES,
           100 * tiles.process, 100 * tiles.own, 100 * painted.process, 100 * painted.own, guest_load().c_str());
}

} // namespace
