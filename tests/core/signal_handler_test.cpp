// Signals sent to the process reach the event queue as the handler's events, in order.
#include "core/events.h"
#include "core/signal_handler.h"
#include "tests/support/board_fixture.h"

#include <SDL.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>

namespace {

class SignalTest : public board_test::BoardRootTest {
protected:
    void SetUp() override
    {
        BoardRootTest::SetUp();
        SDL_SetHint(SDL_HINT_NO_SIGNAL_HANDLERS, "1");
        ASSERT_EQ(SDL_Init(SDL_INIT_EVENTS), 0) << SDL_GetError();
        main_exit = 0;
        ASSERT_EQ(install_signal_handler(), 0);
    }
    void TearDown() override
    {
        remove_signal_handler();
        SDL_Quit();
        BoardRootTest::TearDown();
    }

    // A standard signal sent to the process itself is handled before sigqueue returns. Under
    // ThreadSanitizer it is held until the thread's next blocking call, and a second one sent
    // meanwhile would be lost, so the short sleep lets each signal in before the next.
    static void send_usr2(int value)
    {
        sigval sv{};
        sv.sival_int = value;
        ASSERT_EQ(sigqueue(getpid(), SIGUSR2, sv), 0);
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }

    static Uint32 next_event()
    {
        SDL_Event event;
        return SDL_WaitEventTimeout(&event, 2000) == 1 ? event.type : 0;
    }
};

TEST_F(SignalTest, Usr2ValuesDrivePlaybackInOrder)
{
    for (int value : {2, 3, 4, 5})
        send_usr2(value);
    EXPECT_EQ(next_event(), static_cast<Uint32>(EVENT_PLAYER_START));
    EXPECT_EQ(next_event(), static_cast<Uint32>(EVENT_PLAYER_STOP));
    EXPECT_EQ(next_event(), static_cast<Uint32>(EVENT_PLAYER_PLAY));
    EXPECT_EQ(next_event(), static_cast<Uint32>(EVENT_PLAYER_PAUSE));
}

TEST_F(SignalTest, OtherUsr2ValuesOnlyPrint)
{
    testing::internal::CaptureStdout();
    for (int value : {0, 1, 6, 7, -1})
        send_usr2(value);
    send_usr2(4);
    // Signals are handled in arrival order: the first event is the one value 4 gave.
    Uint32 first = next_event();
    std::string log = testing::internal::GetCapturedStdout();
    EXPECT_EQ(first, static_cast<Uint32>(EVENT_PLAYER_PLAY));
    EXPECT_NE(log.find("signum=12\nSIGUSR2 value: 7\n"), std::string::npos) << log;
    EXPECT_NE(log.find("SIGUSR2 value: -1\n"), std::string::npos) << log;
    SDL_Event event;
    EXPECT_EQ(SDL_PollEvent(&event), 0);
}

TEST_F(SignalTest, TermAndIntEndTheLoop)
{
    for (int signum : {SIGTERM, SIGINT}) {
        main_exit = 0;
        testing::internal::CaptureStdout();
        ASSERT_EQ(kill(getpid(), signum), 0);
        Uint32 type = next_event();
        std::string log = testing::internal::GetCapturedStdout();
        EXPECT_EQ(type, static_cast<Uint32>(EVENT_QUIT));
        EXPECT_EQ(main_exit.load(), 1);
        std::string expected = "signum=" + std::to_string(signum) +
                               (signum == SIGTERM ? "\nhandler: SIGTERM\n" : "\nhandler: SIGINT\n");
        EXPECT_EQ(log, expected);
    }
}

TEST_F(SignalTest, Usr1AndAbortOnlyPrintTheirNumber)
{
    testing::internal::CaptureStdout();
    ASSERT_EQ(kill(getpid(), SIGUSR1), 0);
    ASSERT_EQ(kill(getpid(), SIGABRT), 0);
    send_usr2(3);
    EXPECT_EQ(next_event(), static_cast<Uint32>(EVENT_PLAYER_STOP));
    std::string log = testing::internal::GetCapturedStdout();
    EXPECT_EQ(log, "signum=10\nsignum=6\nsignum=12\nSIGUSR2 value: 3\n");
    EXPECT_EQ(main_exit.load(), 0);
}

TEST_F(SignalTest, Usr2WithoutContextIsRefused)
{
    siginfo_t info{};
    info.si_value.sival_int = 2;
    testing::internal::CaptureStdout();
    handler(SIGUSR2, &info, nullptr);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "signum=12\ncontext is NULL\n");
    SDL_Event event;
    EXPECT_EQ(SDL_PollEvent(&event), 0);
}

TEST_F(SignalTest, RemovingRestoresDefaults)
{
    remove_signal_handler();
    struct sigaction action {};
    sigaction(SIGTERM, nullptr, &action);
    EXPECT_EQ(action.sa_handler, SIG_DFL);
    EXPECT_EQ(install_signal_handler(), 0);
}

} // namespace
