// The host service under test: started as tavimoro-host serve on the fixture's simulated board.
#include "tests/host/service_fixture.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>

namespace board_test {

namespace {

constexpr std::chrono::milliseconds START_TIMEOUT = slow_build_bound(std::chrono::seconds(10));

std::string quoted(const std::string& text)
{
    std::string out = "'";
    for (char c : text)
        out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

} // namespace

void ServiceTest::SetUp()
{
    ProgramTest::SetUp();
    setenv("TAVIMORO_SERVICE_SOCKET", path("/sim/service.sock").c_str(), 1);
    std::filesystem::create_directories(path("/sim/service-tmp"));
}

void ServiceTest::TearDown()
{
    if (service_ > 0)
        stop_service();
    unsetenv("TAVIMORO_SERVICE_SOCKET");
    ProgramTest::TearDown();
}

void ServiceTest::start_player()
{
    start_program(PLAYER_PROGRAM, path("/sim/player.log"));
    ASSERT_TRUE(wait_for_log("Tavimoro V1.0.6", START_TIMEOUT)) << log();
    // Reports sent before the player opens its end of the link are lost, as on the board.
    ASSERT_TRUE(wait_until([] { return host("--timeout 1 state") == 0; }, START_TIMEOUT)) << log();
}

void ServiceTest::start_service(const std::string& args)
{
    std::string command = "TMPDIR=" + quoted(path("/sim/service-tmp")) + " exec " + quoted(HOST_TOOL) +
                          " serve --device " + quoted(path("/sim/host.sock")) + " " + args + " > " +
                          quoted(path("/sim/service.log")) + " 2>&1";
    service_ = fork();
    ASSERT_GE(service_, 0);
    if (service_ == 0) {
        execl("/bin/sh", "sh", "-c", command.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    ASSERT_TRUE(wait_for_service_log("tavimoro-host serve: ready", START_TIMEOUT)) << service_log();
}

int ServiceTest::stop_service()
{
    kill(service_, SIGTERM);
    int status = -1;
    bool ended = wait_until([&] { return waitpid(service_, &status, WNOHANG) == service_; }, START_TIMEOUT);
    if (!ended) {
        kill(service_, SIGKILL);
        waitpid(service_, nullptr, 0);
    }
    service_ = 0;
    return ended && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string ServiceTest::service_log() const
{
    return read_file("/sim/service.log");
}

bool ServiceTest::wait_for_service_log(const std::string& text, std::chrono::milliseconds timeout, size_t from) const
{
    return wait_until([&] { return service_log().find(text, from) != std::string::npos; }, timeout);
}

} // namespace board_test
