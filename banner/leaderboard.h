// The scrolling leaderboard: a text rendered once on one line, scrolled frame by frame right to
// left across the 1920x360 card, drawn by the GPU from the text's tiles or painted in software.
#pragma once

#include "banner/surface.h"
#include "display/opengl.h"

#include <cstddef>

// Longest leaderboard text plus its terminator.
inline constexpr size_t LEADERBOARD_TEXT_SIZE = 4096;
inline constexpr int SCROLL_FRAMES_PER_SECOND = 50;

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
// What one frame of the scroll shows on the black card: up to two runs of text columns, the text's
// rows from card row `top`.
struct scroll_frame {
    int top;
    int count;
    strip_slice slices[2];
};

// How long the scroll of a text `length` bytes long lasts, in seconds.
int leaderboard_seconds(size_t length);
// Advances the scroll by one frame and says what it shows.
scroll_frame next_scroll_frame();
// Paints `frame` into the scroll card and returns the card, which stays owned here.
SDL_Surface* paint_scroll_card(const scroll_frame& frame);
// Paints the next frame into the scroll card and returns the card.
SDL_Surface* ui_paint_text_scroll();
// The video thread's part, with the image lock held. Lets the display's tiles of a text that has
// been replaced go; then has the display hold the current text as tiles, uploaded once per text:
// 0 when it does (or there is no text to hold), -1 when it cannot (the card is painted instead).
void release_replaced_scroll_text();
int upload_scroll_text();
