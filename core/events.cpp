// Event pushing: every thread reports to the main loop through the SDL event queue.
#include "core/events.h"

#include <SDL.h>

std::atomic<int> main_exit{0};

namespace {

std::atomic<int> hdmi_state{1};

void push(int code, int value, void* first, void* second)
{
    SDL_Event event;
    SDL_zero(event);
    event.type = static_cast<Uint32>(code);
    event.user.code = value;
    event.user.data1 = first;
    event.user.data2 = second;
    // A full queue loses the event; nobody is told, as on the board.
    SDL_PushEvent(&event);
}

} // namespace

void push_event(int code, int value)
{
    push(code, value, nullptr, nullptr);
}

void push_event_with_para(int code, void* para)
{
    push(code, 0, para, nullptr);
}

void push_event_with_para2(int code, void* first, void* second)
{
    push(code, 0, first, second);
}

int get_hdmi_state()
{
    return hdmi_state.load();
}

void set_hdmi_state(int state)
{
    hdmi_state.store(state);
}
