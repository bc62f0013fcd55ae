// Image surfaces: the banner picture, title and leaderboard canvases, and the current image the
// video thread draws in image mode, guarded by the image mutex.
#pragma once

#include <SDL2/SDL.h>

struct scroll_frame;

// Creates the black fill surface and loads the start-up test picture; 0.
int init_image_thread();
// Makes the start-up test picture, when the disk has one, the current image; 0 in any case.
int load_image();
// Frees every surface this module owns, each once, and clears the current image.
void deinit_image_res();

// Clears `surface` to opaque black (nothing while the black fill surface does not exist).
void fill_black(SDL_Surface* surface);

// The picture canvas with the picture at `path` fitted on it; null when it cannot be loaded.
SDL_Surface* get_surface_picture(const char* path);
// The title canvas with `text` centred on it in the title font (black when nothing renders);
// null only when the canvas cannot be made.
SDL_Surface* get_surface_title(const char* text);
#ifdef TAVIMORO_FACTORY
// The version card: like a title card, on a canvas of its own made afresh for each call (the
// previous card is freed); null when the canvas cannot be made. Main thread only.
SDL_Surface* get_surface_version(const char* text);
#endif
// The static leaderboard canvas with `text` word-wrapped and centred on it; null as above.
SDL_Surface* get_surface_leaderboard(const char* text);
// Frees the banner canvases and clears the current image, in one hold of the image mutex.
void free_surface_banner();

// Makes `surface` the current image (not freeing the previous one), under the image mutex.
void show_surface_image(SDL_Surface* surface);
// The same for a caller that holds the image mutex.
void show_surface_image_nolock(SDL_Surface* surface);
// Makes the leaderboard's scroll frame `frame` the current image; the caller holds the image mutex.
void show_scroll_frame_nolock(const scroll_frame& frame);
// The same, unless `surface` is the current image already: a still shown again, unchanged, is
// neither uploaded nor drawn again.
void keep_surface_image(SDL_Surface* surface);
void lock_image_mutex();
void unlock_image_mutex();

// Draws the current image, if there is one, on the video thread that owns the display; its
// pixels are uploaded only when it changed since the last draw, a scroll's text once for all its
// frames. Each change of the current image asks the video thread for a draw.
void draw_image();
