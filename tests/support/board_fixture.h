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

// A bound on how long the product takes, stretched in a ThreadSanitizer build only: there every
// memory access of the project's code is instrumented, which makes its threads several times
// slower, and the suite shares a busy machine with other builds. Every other build keeps the
// bound as it is, so a real slowdown of the product still fails there.
// (The build defines TAVIMORO_TSAN_SLOWDOWN for a ThreadSanitizer build.)
#ifdef TAVIMORO_TSAN_SLOWDOWN
constexpr int SANITIZER_SLOWDOWN = TAVIMORO_TSAN_SLOWDOWN;
#else
constexpr int SANITIZER_SLOWDOWN = 1;
#endif
constexpr std::chrono::milliseconds sanitizer_bound(std::chrono::milliseconds bound)
{
    return bound * SANITIZER_SLOWDOWN;
}

// Polls `condition` every few milliseconds until it holds or `timeout` passes.
bool wait_until(const std::function<bool()>& condition, std::chrono::milliseconds timeout);

// How a command ended (its exit status, -1 when it did not exit) and everything it printed.
struct command_result {
    int status;
    std::string output;
};

// Runs `command` in the shell, with its standard error joined to its output.
command_result run_command(const std::string& command);

} // namespace board_test
