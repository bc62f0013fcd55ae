// The player's event codes, the functions every thread uses to report to the main loop, and
// the flags the main thread shares with the others.
#pragma once

#include <atomic>

// Event codes, used directly as SDL event types.
inline constexpr int EVENT_QUIT = 0x0100;  // SDL_QUIT
inline constexpr int EVENT_TIMER = 0x8002;
inline constexpr int EVENT_PLAYER_START = 0x8006;
inline constexpr int EVENT_PLAYER_STOP = 0x8007;
inline constexpr int EVENT_PLAYER_PLAY = 0x8008;
inline constexpr int EVENT_PLAYER_PAUSE = 0x8009;
inline constexpr int EVENT_BANNER_INFO = 0x800A;
inline constexpr int EVENT_UPDATE_IMG = 0x800B;
inline constexpr int EVENT_GADGET_STATE_CONFIGURED = 0x800C;
inline constexpr int EVENT_GADGET_STATE_SUSPEND = 0x800D;
inline constexpr int EVENT_SHOW_IMAGE = 0x800E;
inline constexpr int EVENT_FW_UPDATE = 0x800F;
inline constexpr int EVENT_RECOVERY_DOWN = 0x8010;
inline constexpr int EVENT_PACKAGE_TRANSMIT_START = 0x8011;
inline constexpr int EVENT_PACKAGE_TRANSMIT_SUCESS = 0x8012;
inline constexpr int EVENT_PACKAGE_TRANSMIT_END = 0x8013;
inline constexpr int EVENT_PACKAGE_DECOMPRESS_START = 0x8014;
inline constexpr int EVENT_PACKAGE_DECOMPRESS_END = 0x8015;

union SDL_Event;

void push_event(int code, int value);
void push_event_with_para(int code, void* para);
void push_event_with_para2(int code, void* first, void* second);
// Takes the next event into `event`, waiting as long as there is none; 1. Unlike SDL_WaitEvent,
// which without SDL's video subsystem looks at its queue every millisecond, it sleeps until one of
// the functions above pushes an event.
int wait_event(SDL_Event* event);

// 1 once the process must leave its event loop.
extern std::atomic<int> main_exit;

// Screen-active flag: written by the main thread only; the banner and video threads hold
// their output back while it is 0.
int get_hdmi_state();
void set_hdmi_state(int state);
