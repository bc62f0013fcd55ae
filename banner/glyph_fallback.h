// Glyph fallback: text measured and rendered with other fonts where the board's font has no glyph.
#pragma once

#include <SDL2/SDL_ttf.h>

// Takes `font`, opened at `point_size` from `file`, as a font whose missing glyphs are looked up
// in the fallback fonts: the other font files beside `file` (by name), then the system's fonts
// through fontconfig. Setting TAVIMORO_FONT_FALLBACK=0 switches the fallback off.
void add_fallback_owner(TTF_Font* font, int point_size, const char* file);
// Closes the fallback fonts and forgets every owner and every cached lookup.
void free_fallback_fonts();

// TTF_SizeUTF8 and TTF_RenderUTF8_Blended with glyph fallback. The text is split into runs by the
// font that covers them; the runs are measured or rendered at the owner's point size and joined
// on a common baseline. Text the owner's font covers, and any text of a font that is not an
// owner, goes to SDL_ttf unchanged. A character no font covers keeps the owner's box. Runs of
// Arabic or Hebrew letters are shaped right to left. Callers hold font_mutex.
int size_text(TTF_Font* font, const char* text, int* w, int* h);
SDL_Surface* render_text_blended(TTF_Font* font, const char* text, SDL_Color fg);
