// What sets the factory test build (compiled with TAVIMORO_FACTORY) apart from the player where
// the difference is a value: the one place to read them. Code that really differs keeps an #ifdef
// of its own beside the player's code (the records without title2, the colour mode, the version
// card, the still leaderboard).
#pragma once

#include <chrono>

#ifdef TAVIMORO_FACTORY
inline constexpr bool FACTORY_BUILD = true;
// Where media are looked up below the product directory: the factory test looks in the product
// directory itself, the player in its three media trees.
inline constexpr const char* MEDIA_TREES[] = {""};
// The video extensions a lookup by ROM name accepts.
inline constexpr const char* ROMNAME_VIDEO_EXTENSIONS[] = {".mp4"};
#else
inline constexpr bool FACTORY_BUILD = false;
inline constexpr const char* MEDIA_TREES[] = {"/vorlix", "/ext", "/thirdparty"};
inline constexpr const char* ROMNAME_VIDEO_EXTENSIONS[] = {".mp4", ".avi"};
#endif

// The factory test shows no boot media, runs no one-second timer, takes no packages, answers
// no connect-state request and watches for no update image: the line does that itself.
inline constexpr bool HAS_BOOT_MEDIA = !FACTORY_BUILD;
inline constexpr bool RUNS_TIMER = !FACTORY_BUILD;
inline constexpr bool TAKES_PACKAGES = !FACTORY_BUILD;
inline constexpr bool ANSWERS_CONNECT_STATE = !FACTORY_BUILD;
inline constexpr bool WATCHES_UPDATE_IMAGE = !FACTORY_BUILD;

// How often the video thread redraws a still picture (and, in the factory test, a colour).
inline constexpr auto IMAGE_REDRAW_SLEEP = std::chrono::microseconds(FACTORY_BUILD ? 40000 : 18000);

// The factory test traces every entry the media lookup meets.
inline constexpr bool TRACE_MEDIA_WALK = FACTORY_BUILD;

// The factory test checks a firmware image's room in bytes, as a file's; the player in KiB.
inline constexpr bool FIRMWARE_ROOM_IN_BYTES = FACTORY_BUILD;
