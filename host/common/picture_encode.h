// A surface saved as a JPEG or a PNG file in memory, by SDL_image.
#pragma once

#include <SDL2/SDL.h>

#include <cstdint>
#include <vector>

// The file's bytes; empty when saving fails.
std::vector<uint8_t> encode_picture(SDL_Surface* surface, bool jpeg, int quality);
