// The banner's fonts and the word-wrapping text renderer.
#pragma once

#include <SDL2/SDL_ttf.h>

#include <memory>
#include <mutex>

struct FontClose {
    void operator()(TTF_Font* font) const { TTF_CloseFont(font); }
};
using UniqueFont = std::unique_ptr<TTF_Font, FontClose>;

// Opened from the one product font by `load_font`; a font that failed to open stays null.
extern UniqueFont font_futura_256;  // 200 points; nothing draws with it
extern UniqueFont font_futura_128;  // title card and scrolling leaderboard
extern UniqueFont font_futura_64;   // static leaderboard card

// Held while the fonts are opened or closed and while text is rendered for a canvas: the factory
// build renders its version card on the main thread beside the banner thread.
extern std::mutex font_mutex;

// Opens the three fonts, reporting each failure; always 0.
int load_font();
// Closes the fonts that are open.
void free_font();

// Word-wraps `text` into lines no wider than `wrapLength` pixels (a single word wider than that
// keeps a line of its own) and renders them stacked in `fg`: alignment 0 puts lines at the left
// edge, 1 centres each one. The caller frees the result; null with the SDL error set on failure.
SDL_Surface* TTF_RenderUTF8_Blended_MY(TTF_Font* font, const char* text, SDL_Color fg, Uint32 wrapLength,
                                       int alignment);

// True when `c` occurs in the zero-terminated set `delimiters` (NUL never matches).
bool CharacterIsDelimiter(char c, const char* delimiters);
