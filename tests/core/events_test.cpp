// Events, the one-second timer and the package watchdog, through a real SDL event queue.
#include "core/events.h"
#include "core/timer.h"
#include "tests/support/board_fixture.h"

#include <SDL.h>
#include <time.h>

#include <chrono>
#include <thread>
#include <vector>

namespace {

class EventsTest : public board_test::BoardRootTest {
protected:
    void SetUp() override
    {
        BoardRootTest::SetUp();
        SDL_SetHint(SDL_HINT_NO_SIGNAL_HANDLERS, "1");
        ASSERT_EQ(SDL_Init(SDL_INIT_EVENTS | SDL_INIT_TIMER), 0) << SDL_GetError();
        SDL_FlushEvents(SDL_FIRSTEVENT, SDL_LASTEVENT);
        package_transmit_state = 0;
        package_transmit_count = 0;
    }
    void TearDown() override
    {
        stop_timer();
        SDL_Quit();
        BoardRootTest::TearDown();
    }

    static std::vector<SDL_Event> pending()
    {
        std::vector<SDL_Event> events;
        SDL_Event event;
        while (SDL_PollEvent(&event))
            events.push_back(event);
        return events;
    }
};

TEST_F(EventsTest, PushFunctionsCarryTheirFields)
{
    int first = 0, second = 0;
    push_event(EVENT_PACKAGE_TRANSMIT_END, 1);
    push_event_with_para(EVENT_BANNER_INFO, &first);
    push_event_with_para2(EVENT_SHOW_IMAGE, &first, &second);

    std::vector<SDL_Event> events = pending();
    ASSERT_EQ(events.size(), 3u);
    EXPECT_EQ(events[0].type, 0x8013u);
    EXPECT_EQ(events[0].user.code, 1);
    EXPECT_EQ(events[1].type, 0x800Au);
    EXPECT_EQ(events[1].user.data1, &first);
    EXPECT_EQ(events[2].type, 0x800Eu);
    EXPECT_EQ(events[2].user.data1, &first);
    EXPECT_EQ(events[2].user.data2, &second);
}

TEST_F(EventsTest, WatchdogFailsAQuietTransferOnItsFifteenthTick)
{
    for (int tick = 0; tick < 20; tick++)
        package_transmit_timeout();
    EXPECT_TRUE(pending().empty()) << "ticks without a transfer must change nothing";

    package_transmit_state = 1;
    package_transmit_reset();
    for (int tick = 0; tick < 14; tick++)
        package_transmit_timeout();
    EXPECT_TRUE(pending().empty());
    package_transmit_timeout();
    std::vector<SDL_Event> events = pending();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].type, static_cast<Uint32>(EVENT_PACKAGE_TRANSMIT_END));
    EXPECT_EQ(events[0].user.code, 1);
    EXPECT_EQ(package_transmit_count.load(), 0);

    // The count restarted: a data report every 14 ticks keeps the transfer alive.
    for (int round = 0; round < 3; round++) {
        for (int tick = 0; tick < 14; tick++)
            package_transmit_timeout();
        package_transmit_reset();
    }
    EXPECT_TRUE(pending().empty());
}

TEST_F(EventsTest, TimerTicksEverySecondUntilStopped)
{
    EXPECT_EQ(mytimer_proc(1000, nullptr), 1000u);
    SDL_Event event;
    ASSERT_EQ(SDL_PollEvent(&event), 1);
    EXPECT_EQ(event.type, static_cast<Uint32>(EVENT_TIMER));

    ASSERT_EQ(start_timer(), 0);
    ASSERT_EQ(SDL_WaitEventTimeout(&event, 2000), 1);
    EXPECT_EQ(event.type, static_cast<Uint32>(EVENT_TIMER));
    stop_timer();
    SDL_FlushEvents(SDL_FIRSTEVENT, SDL_LASTEVENT);
    EXPECT_EQ(SDL_WaitEventTimeout(&event, 1200), 0) << "a stopped timer must not tick";
}

// The main loop's wait: an event already queued is taken at once; otherwise the thread sleeps,
// using no processor time to speak of, until another thread pushes one, and wakes at once.
TEST_F(EventsTest, WaitEventSleepsUntilAnotherThreadPushes)
{
    using namespace std::chrono_literals;
    SDL_Event event;
    push_event(EVENT_TIMER, 0);
    ASSERT_EQ(wait_event(&event), 1);
    EXPECT_EQ(event.type, static_cast<Uint32>(EVENT_TIMER));

    std::thread pusher([] {
        std::this_thread::sleep_for(300ms);
        push_event(EVENT_BANNER_INFO, 7);
    });
    timespec cpu_before, cpu_after;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &cpu_before);
    auto started = std::chrono::steady_clock::now();
    ASSERT_EQ(wait_event(&event), 1);
    auto waited = std::chrono::steady_clock::now() - started;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &cpu_after);
    pusher.join();
    EXPECT_EQ(event.type, static_cast<Uint32>(EVENT_BANNER_INFO));
    EXPECT_EQ(event.user.code, 7);
    EXPECT_GE(waited, 250ms);
    double cpu_ms = (cpu_after.tv_sec - cpu_before.tv_sec) * 1e3 + (cpu_after.tv_nsec - cpu_before.tv_nsec) / 1e6;
    EXPECT_LT(cpu_ms, 3.0) << "the wait sleeps rather than looking at the queue every millisecond";
}

TEST_F(EventsTest, HdmiStateStartsOnAndFollowsItsWriter)
{
    EXPECT_EQ(get_hdmi_state(), 1);
    set_hdmi_state(0);
    EXPECT_EQ(get_hdmi_state(), 0);
    set_hdmi_state(1);
}

} // namespace
