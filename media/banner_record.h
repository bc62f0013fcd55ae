// The banner record: what the host named, and the media the lookup found for it.
#pragma once

#include <cstddef>

// Every field is a zero-terminated string; a record is zeroed before it is filled.
// The factory build has no lookup name, so its record ends after the leaderboard.
struct banner_bar_t {
    char title[256];        // text of the title card, UTF-8
    char video_file[260];   // full path of the video to play
    char image_file[260];   // full path of the picture to show
    char text[260];         // the host's romname (or caption); only traced by the sequencer
    char leaderboard[516];  // text scrolled after the video, UTF-8, may hold line breaks
#ifndef TAVIMORO_FACTORY
    char title2[256];       // the name media are looked up by
#endif
};

static_assert(offsetof(banner_bar_t, title) == 0);
static_assert(offsetof(banner_bar_t, video_file) == 256);
static_assert(offsetof(banner_bar_t, image_file) == 516);
static_assert(offsetof(banner_bar_t, text) == 776);
static_assert(offsetof(banner_bar_t, leaderboard) == 1036);
#ifndef TAVIMORO_FACTORY
static_assert(offsetof(banner_bar_t, title2) == 1552);
static_assert(sizeof(banner_bar_t) == 1808);
#else
static_assert(sizeof(banner_bar_t) == 1552);
#endif
