// The USB controller state read from the real dummy UDC: the probe keeps the sysfs file open and
// must read it afresh every time, and the event thread reports the host that configured us.
//
// The dummy UDC keeps saying "configured" when the gadget is unbound, disconnected or the host
// drops its configuration (only a port reset moves it, for an instant), so the host leaving
// cannot be shown with it; the stand-in tests cover those transitions.
#include "tests/vm/vm_board.h"

#include "core/events.h"
#include "device/event_monitor.h"

#include <SDL.h>

namespace {

constexpr int EVENT_TIMEOUT_MS = 10000;
constexpr int CONFIGURED = 2;
constexpr int READS = 3;

class UdcStateTest : public vm_test::VmBoardTest {
protected:
    void SetUp() override
    {
        VmBoardTest::SetUp();
        if (IsSkipped())
            return;
        SDL_SetHint(SDL_HINT_NO_SIGNAL_HANDLERS, "1");
        ASSERT_EQ(SDL_Init(SDL_INIT_EVENTS), 0) << SDL_GetError();
    }
    void TearDown() override
    {
        if (IsSkipped())
            return;
        stop_event_thread();
        close_usb_gadget_state();
        SDL_Quit();
        VmBoardTest::TearDown();
    }
};

TEST_F(UdcStateTest, KeptStateFileReadsConfiguredEveryTime)
{
    // A sysfs attribute read to its end gives nothing more until the reader seeks back.
    for (int read = 0; read < READS; ++read)
        EXPECT_EQ(get_usb_gadget_state(), CONFIGURED) << "read " << read;
}

TEST_F(UdcStateTest, EventThreadReportsTheConfiguredHost)
{
    ASSERT_EQ(start_event_thread(), 0);
    SDL_Event event;
    bool configured = false;
    while (!configured && SDL_WaitEventTimeout(&event, EVENT_TIMEOUT_MS))
        configured = event.type == EVENT_GADGET_STATE_CONFIGURED;
    EXPECT_TRUE(configured);
}

} // namespace
