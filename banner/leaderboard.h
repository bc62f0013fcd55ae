// The scrolling leaderboard: a text rendered once on one line, painted frame by frame as a
// right-to-left marquee into a 1920x360 card.
#pragma once

#include "banner/surface.h"

// Longest leaderboard text plus its terminator.
inline constexpr size_t LEADERBOARD_TEXT_SIZE = 4096;

extern char leaderboard_text[LEADERBOARD_TEXT_SIZE];
// The whole text on one line; null when the text renders to nothing.
extern UniqueSurface surface_leaderboard_text_all;
extern SDL_Rect rc_flash_text_all;       // the whole text: 0, 0, TW, TH
extern SDL_Rect rc_flash_text_visible;   // columns of the text drawn from the left edge of the card
extern SDL_Rect rc_flash_text_visible2;  // columns of the head coming back in from the right
extern int flash_space_count;            // frames of the tail leaving, counted down as the head returns

// Renders `text` for scrolling and rewinds; returns the rendered width (0 when nothing could be
// rendered), or -1 for a text of 4096 bytes or more, which changes nothing.
int leaderboard_init(char* text);
// Rewinds the scroll to its first frame.
void leaderboard_reset();
// Paints the next frame into the scroll card and returns the card, which stays owned here.
SDL_Surface* ui_paint_text_scroll();
