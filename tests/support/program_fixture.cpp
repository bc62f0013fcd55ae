// Running a board program under the fixture: fork and exec with the output in a log file, the
// link relay on a thread of its own.
#include "tests/support/program_fixture.h"

#include "core/board_root.h"
#include "sim/sim_board.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

namespace board_test {

namespace {

constexpr int RELAY_WAIT_MS = 10;

} // namespace

void ProgramTest::SetUp()
{
    BoardRootTest::SetUp();
    ASSERT_EQ(relay_.open(path("/dev/hidg1"), path("/sim/host.sock")), 0);
    relaying_ = std::thread([this] {
        while (!stop_relay_) {
            int change = link_change_;
            if (change == LINK_UNPLUG) {
                relay_.unplug_host();
                unlink(path("/sim/host.sock").c_str());
            } else if (change == LINK_PLUG) {
                relay_.plug_host(path("/sim/host.sock"));
            }
            link_change_ = LINK_KEEP;
            relay_.step(RELAY_WAIT_MS);
        }
    });
}

void ProgramTest::TearDown()
{
    if (program_ > 0) {
        kill(program_, SIGKILL);
        waitpid(program_, nullptr, 0);
        program_ = 0;
    }
    stop_relay_ = true;
    if (relaying_.joinable())
        relaying_.join();
    BoardRootTest::TearDown();
}

void ProgramTest::start_program(const char* program, const std::string& log_file)
{
    log_file_ = log_file;
    program_ = start_board_program(program, process_root(), log_file);
    ASSERT_GT(program_, 0);
}

int ProgramTest::wait_exit(std::chrono::milliseconds timeout)
{
    int status = -1;
    bool ended = wait_until([&] { return waitpid(program_, &status, WNOHANG) == program_; }, timeout);
    if (ended)
        program_ = 0;
    return ended && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

int ProgramTest::stop_program(std::chrono::milliseconds timeout)
{
    kill(program_, SIGTERM);
    return wait_exit(timeout);
}

std::string ProgramTest::log() const
{
    std::string text;
    std::FILE* file = std::fopen(log_file_.c_str(), "r");
    if (!file)
        return text;
    char buffer[4096];
    for (size_t length; (length = std::fread(buffer, 1, sizeof buffer, file)) > 0;)
        text.append(buffer, length);
    std::fclose(file);
    return text;
}

bool ProgramTest::wait_for_log(const std::string& text, std::chrono::milliseconds timeout, size_t from) const
{
    return wait_until([&] { return log().find(text, from) != std::string::npos; }, timeout);
}

void ProgramTest::change_link(int change)
{
    link_change_ = change;
    ASSERT_TRUE(wait_until([&] { return link_change_ == LINK_KEEP; }, std::chrono::seconds(2)));
}

void ProgramTest::unplug_link()
{
    change_link(LINK_UNPLUG);
}

void ProgramTest::plug_link()
{
    change_link(LINK_PLUG);
}

int ProgramTest::host(const std::string& args)
{
    std::string command = shell_quote(HOST_TOOL) + " --device " + shell_quote(path("/sim/host.sock")) + " " + args + " >> " +
                          shell_quote(path("/sim/host.log")) + " 2>&1";
    int status = system(command.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

} // namespace board_test
