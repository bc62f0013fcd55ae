// The player program under test: started in the fixture's board root with the sample disk,
// driven by the host tool, watched through its log, its screen and its memory.
#pragma once

#include "tests/support/program_fixture.h"
#include "tests/support/sample_media_copy.h"
#include "tests/support/screen_reader.h"
#include "sim/sample_media.h"
#include "sim/sim_board.h"

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>

namespace player_test {

using namespace std::chrono_literals;

inline const std::string DISK = std::string("/media/") + SIM_DEFAULT_DISK;
inline const std::string PRODUCT = DISK + "/vorlix";
inline const std::string BOOT_PICTURE = PRODUCT + "/.assets/vorlix-boot.png";
inline const std::string UDC_STATE = "/sys/devices/platform/10180000.usb/udc/10180000.usb/state";
inline const std::string HDMI_STATUS = "/sys/class/drm/card0-HDMI-A-1/status";
inline constexpr auto START_TIMEOUT = 60s;
inline constexpr auto STEP_TIMEOUT = 30s;

class PlayerProgramTest : public board_test::ProgramTest {
protected:
    void SetUp() override
    {
        ProgramTest::SetUp();
        ASSERT_EQ(board_test::install_sample_media(board_test::process_root()), 0);
        std::filesystem::copy_file(UPDATE_PROGRAM, path("/emulator/update"));
    }

    // Starts the player, with its output in ROOT/sim/player.log, and waits until its link answers.
    void start_player()
    {
        start_program(PLAYER_PROGRAM, path("/sim/player.log"));
        ASSERT_TRUE(wait_for_log("Tavimoro V1.0.6", START_TIMEOUT)) << log();
        // Reports sent before the player opens its end of the link are lost, as on the board.
        ASSERT_TRUE(board_test::wait_until([] { return host("--timeout 1 state") == 0; }, START_TIMEOUT)) << log();
    }

    int stop_player() { return stop_program(STEP_TIMEOUT); }

    bool wait_for_log(const std::string& text, std::chrono::milliseconds timeout = STEP_TIMEOUT, size_t from = 0)
    {
        return ProgramTest::wait_for_log(text, timeout, from);
    }

    static bool band_shows(const std::string& board_file, std::chrono::milliseconds timeout = STEP_TIMEOUT)
    {
        return board_test::band_shows(board_file, timeout);
    }

    // The player's peak resident memory so far (VmHWM), in KiB; -1 when it cannot be read.
    long peak_memory_kib() const
    {
        std::ifstream status("/proc/" + std::to_string(program_) + "/status");
        for (std::string line; std::getline(status, line);) {
            if (line.rfind("VmHWM:", 0) == 0)
                return std::stol(line.substr(6));
        }
        return -1;
    }
};

} // namespace player_test
