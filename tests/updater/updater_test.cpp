// The built `update` program, run as a process under the board root.
#include "tests/device/misc_image.h"
#include "tests/support/board_fixture.h"
#include "tests/support/firmware_signing.h"
#include "sim/sim_board.h"

#include <sys/wait.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

using board_test::BoardRootTest;
using misc_test::expected_misc_image;

namespace {

constexpr const char* MISC = "/dev/rknand_misc";
const std::string OLD_MISC(misc_test::PAGES * misc_test::PAGE, '\xff');
const std::string DISK = std::string("/media/") + SIM_DEFAULT_DISK;

struct ProgramRun {
    std::string output;
    int status;
};

// Runs the program with this process's environment (board root and PATH included).
ProgramRun run_update()
{
    ProgramRun run{"", -1};
    FILE* pipe = popen(UPDATE_PROGRAM " 2>&1", "r");
    if (!pipe)
        return run;
    char buffer[4096];
    size_t length;
    while ((length = fread(buffer, 1, sizeof buffer, pipe)) > 0)
        run.output.append(buffer, length);
    int status = pclose(pipe);
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return run;
}

class UpdaterTest : public BoardRootTest {
protected:
    void SetUp() override
    {
        BoardRootTest::SetUp();
        write_file(MISC, OLD_MISC);
    }
};

TEST_F(UpdaterTest, WithoutAnImageNothingIsTouched)
{
    // The player's firmware package is not the updater's image.
    write_file(DISK + "/vorlix_update_online.img", "package");
    ProgramRun run = run_update();
    EXPECT_EQ(run.status, 255);
    EXPECT_EQ(run.output.rfind("update V1.0.0\n", 0), 0u) << run.output;
    EXPECT_NE(run.output.find("no found /vorlix_update.img\n"), std::string::npos) << run.output;
    EXPECT_EQ(read_file(MISC), OLD_MISC);
    EXPECT_EQ(reboot_runs(), 0);
}

TEST_F(UpdaterTest, ImageIsHandedToRecovery)
{
    write_file(DISK + "/vorlix_update.img", "image");
    write_file(DISK + "/vorlix_update_online.img", "package");
    ProgramRun run = run_update();
    EXPECT_EQ(run.status, 0) << run.output;
    EXPECT_NE(run.output.find("found package of " + path(DISK + "/vorlix_update.img") + ".\n"), std::string::npos)
        << run.output;
    EXPECT_NE(run.output.find("write misc success\n"), std::string::npos) << run.output;
    EXPECT_TRUE(run.output.ends_with("reboot to recovery.\n")) << run.output;
    EXPECT_EQ(read_file(MISC), expected_misc_image("/vorlix_update.img"));
    EXPECT_EQ(reboot_runs(), 1);
}

TEST_F(UpdaterTest, FailuresEndWithStatus255)
{
    write_file(DISK + "/vorlix_update.img", "image");
    set_reboot_status(1);
    ProgramRun run = run_update();
    EXPECT_EQ(run.status, 255);
    EXPECT_TRUE(run.output.ends_with("reboot failed.\n")) << run.output;
    EXPECT_EQ(reboot_runs(), 1);
    EXPECT_EQ(read_file(MISC), expected_misc_image("/vorlix_update.img")) << "the record stays written";

    remove(MISC);
    run = run_update();
    EXPECT_EQ(run.status, 255);
    EXPECT_NE(run.output.find("Can't open misc\n"), std::string::npos) << run.output;
    EXPECT_TRUE(run.output.ends_with("write misc error.\n")) << run.output;
    EXPECT_EQ(reboot_runs(), 1) << "no reboot without a record";
    EXPECT_FALSE(std::filesystem::exists(path(MISC)));
}

// Each bad case leaves the misc partition and the image as they were, says why, and takes
// bounded time: the signature file is read only so far, the image once, in blocks.
TEST_F(UpdaterTest, WithAKeyOnlyAGoodSignatureReachesRecovery)
{
    if (!board_test::have_minisign())
        GTEST_SKIP() << board_test::NO_MINISIGN;
    const std::string image = DISK + "/vorlix_update.img";
    const std::string signature = image + FIRMWARE_SIGNATURE_SUFFIX;
    const std::string contents(300000, 'i');
    ASSERT_TRUE(board_test::make_signing_key("board") && board_test::make_signing_key("other"));
    board_test::install_board_key("board");
    const std::string key = read_file(FIRMWARE_KEY_PATH);

    struct bad_case {
        const char* what;
        std::function<void()> make;
        const char* reason;
    };
    const std::vector<bad_case> cases = {
        {"unsigned", [] {}, "no signature file beside it"},
        {"signature of another image",
         [&] {
             write_file("/host/other.img", contents + "x");
             ASSERT_TRUE(board_test::sign_image("/host/other.img", "board"));
             write_file(signature, read_file("/host/other.img.minisig"));
         },
         "the signature does not match the image"},
        {"truncated image",
         [&] {
             ASSERT_TRUE(board_test::sign_image(image, "board"));
             write_file(image, contents.substr(0, contents.size() / 2));
         },
         "the signature does not match the image"},
        {"signed with another key", [&] { ASSERT_TRUE(board_test::sign_image(image, "other")); },
         "it is signed with another key than the board's"},
        {"legacy signature", [&] { ASSERT_TRUE(board_test::sign_image(image, "board", "-l")); }, "its signature is a legacy one"},
        {"1 GiB signature file",
         [&] {
             write_file(signature, "");
             std::error_code error;
             std::filesystem::resize_file(path(signature), 1ull << 30, error);
             ASSERT_FALSE(error) << error.message();
         },
         "its signature file is too large"},
        {"key file with trailing garbage",
         [&] {
             ASSERT_TRUE(board_test::sign_image(image, "board"));
             write_file(FIRMWARE_KEY_PATH, key + "RWQgarbage\n");
         },
         "the board's key file holds more than the key"},
    };
    for (const bad_case& bad : cases) {
        SCOPED_TRACE(bad.what);
        write_file(image, contents);
        remove(signature);
        write_file(FIRMWARE_KEY_PATH, key);
        bad.make();
        const std::string before = read_file(image);
        auto start = std::chrono::steady_clock::now();
        ProgramRun run = run_update();
        EXPECT_LT(std::chrono::steady_clock::now() - start, board_test::slow_build_bound(std::chrono::seconds(5)));
        EXPECT_EQ(run.status, 255) << run.output;
        EXPECT_NE(run.output.find("refused: " + std::string(bad.reason)), std::string::npos) << run.output;
        EXPECT_TRUE(run.output.ends_with("image refused.\n")) << run.output;
        EXPECT_EQ(read_file(MISC), OLD_MISC);
        EXPECT_EQ(reboot_runs(), 0);
        EXPECT_EQ(read_file(image), before) << "the image stays for its owner to see";
    }

    write_file(FIRMWARE_KEY_PATH, key);
    write_file(image, contents);
    ASSERT_TRUE(board_test::sign_image(image, "board"));
    ProgramRun run = run_update();
    EXPECT_EQ(run.status, 0) << run.output;
    EXPECT_NE(run.output.find("is signed with the board's key"), std::string::npos) << run.output;
    EXPECT_EQ(read_file(MISC), expected_misc_image("/vorlix_update.img"));
    EXPECT_EQ(reboot_runs(), 1);
}

} // namespace
