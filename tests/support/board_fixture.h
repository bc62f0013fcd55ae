// Board-root fixture: every test runs against a fresh simulated board in a temporary directory.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <string>
#include <string_view>

namespace board_test {

// The process's board root; set before any test runs (see the support main).
const std::string& process_root();

class BoardRootTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

public:
    // A board path as reached under the root.
    static std::string path(std::string_view board);
    static void write_file(std::string_view board, std::string_view contents);
    static std::string read_file(std::string_view board);
    static void make_dir(std::string_view board);
    static void remove(std::string_view board);

    // A USB disk mounted at /media/<name>, with the free space `df` reports for it.
    static void add_disk(const std::string& name, long long free_kib);
    static void set_disk_free(const std::string& name, long long free_kib);

    // How often /sbin/reboot ran, and the exit status it gives.
    static int reboot_runs();
    static void set_reboot_status(int status);
};

// How many times longer a timed step may take in a slow build: a ThreadSanitizer build, where
// every memory access of the project's code is instrumented, and an armhf build run under
// qemu-arm, which emulates every instruction and draws with a software renderer. Every other
// build keeps its bounds as they are, so a real slowdown of the product still fails there.
// (The build defines TAVIMORO_TEST_SLOWDOWN for the slow builds.)
#ifdef TAVIMORO_TEST_SLOWDOWN
constexpr int TEST_SLOWDOWN = TAVIMORO_TEST_SLOWDOWN;
#else
constexpr int TEST_SLOWDOWN = 1;
#endif
// A bound on how long the product takes, stretched in a slow build.
constexpr std::chrono::milliseconds slow_build_bound(std::chrono::milliseconds bound)
{
    return bound * TEST_SLOWDOWN;
}

// Polls `condition` every few milliseconds until it holds or `timeout` passes (stretched in a
// slow build: it is the most a step may take, and a pass returns as soon as the condition holds).
bool wait_until(const std::function<bool()>& condition, std::chrono::milliseconds timeout);

// How a command ended (its exit status, -1 when it did not exit) and everything it printed.
struct command_result {
    int status;
    std::string output;
};

// Runs `command` in the shell, with its standard error joined to its output.
command_result run_command(const std::string& command);

} // namespace board_test
