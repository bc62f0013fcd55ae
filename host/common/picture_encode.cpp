// A surface saved by SDL_image into a memory stream.
#include "host/common/picture_encode.h"

#include <SDL2/SDL_image.h>

#include <cstdio>
#include <cstdlib>

std::vector<uint8_t> encode_picture(SDL_Surface* surface, bool jpeg, int quality)
{
    char* data = nullptr;
    size_t size = 0;
    FILE* stream = open_memstream(&data, &size);
    if (!stream)
        return {};
    // The stream, and with it `data`, is complete once the saver has closed it.
    SDL_RWops* target = SDL_RWFromFP(stream, SDL_TRUE);
    int saved = -1;
    if (!target)
        fclose(stream);
    else
        saved = jpeg ? IMG_SaveJPG_RW(surface, target, 1, quality) : IMG_SavePNG_RW(surface, target, 1);
    std::vector<uint8_t> bytes;
    if (saved == 0)
        bytes.assign(data, data + size);
    free(data);
    return bytes;
}
