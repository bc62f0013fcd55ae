// The built `update` program, run as a process under the board root.
#include "tests/device/misc_image.h"
#include "tests/support/board_fixture.h"
#include "sim/sim_board.h"

#include <sys/wait.h>

#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>

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

} // namespace
