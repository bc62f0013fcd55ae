// The banner info message: the printed JSON values of a banner-info or show-image text, handed
// to the main thread with an event.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <string>

inline constexpr size_t BANNER_INFO_TYPE_SIZE = 4;
inline constexpr size_t BANNER_INFO_TITLE_SIZE = 128;
inline constexpr size_t BANNER_INFO_LEADERBOARD_SIZE = 512;
inline constexpr size_t BANNER_INFO_ROMNAME_SIZE = 128;
inline constexpr size_t BANNER_INFO_TITLE2_SIZE = 128;

// Each slot holds the value as cJSON prints it (a string keeps its double quotes), cut to the
// slot and zero-terminated; an absent key leaves its slot empty. The factory build has no title2.
struct banner_info_msg {
    char type[BANNER_INFO_TYPE_SIZE];
    char title[BANNER_INFO_TITLE_SIZE];
    char leaderboard[BANNER_INFO_LEADERBOARD_SIZE];
    char romname[BANNER_INFO_ROMNAME_SIZE];
#ifndef TAVIMORO_FACTORY
    char title2[BANNER_INFO_TITLE2_SIZE];
#endif
};

#ifdef TAVIMORO_FACTORY
inline constexpr size_t BANNER_INFO_MSG_SIZE = 772;
#else
inline constexpr size_t BANNER_INFO_MSG_SIZE = 900;
static_assert(offsetof(banner_info_msg, title2) == 772);
#endif
static_assert(sizeof(banner_info_msg) == BANNER_INFO_MSG_SIZE);
static_assert(offsetof(banner_info_msg, type) == 0);
static_assert(offsetof(banner_info_msg, title) == 4);
static_assert(offsetof(banner_info_msg, leaderboard) == 132);
static_assert(offsetof(banner_info_msg, romname) == 644);

// Copies a printed JSON value without its surrounding quotes; an unterminated slot ends at its size.
template <size_t N, size_t M> void strip_copy(char (&field)[N], const char (&printed)[M])
{
    size_t length = strnlen(printed, M);
    if (length < 2)
        return;
    size_t copy = std::min(length - 2, N - 1);
    memcpy(field, printed + 1, copy);
    field[copy] = '\0';
}

// A text sent as the "romname" or "title2" of a banner-info message, as the board keeps it and
// looks media up by: printed as JSON (so '"' and '\\' keep their escapes), cut to its slot, then
// stripped of its quotes. The host's media kit names files by it.
std::string board_lookup_text(const char* text);

// Parses a banner-info text and pushes EVENT_BANNER_INFO with a new message (allocated with
// malloc; the main thread frees it). 0, or -1 when the text is not JSON.
int parse_transmit_data(char* text);
// Parses a show-image text into a new message (malloc'ed), or null when it is not JSON.
banner_info_msg* parse_show_image_data(char* text);
