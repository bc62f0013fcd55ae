// libFuzzer target: arbitrary bytes as a picture, through the header check and the bounded
// loader; whatever decodes must be within the pixel limit.
#include "banner/picture_file.h"

#include <cstdio>
#include <cstdlib>

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    if (!freopen("/dev/null", "w", stdout))
        abort();
    // SDL keeps its error text in a buffer made at the first error and kept for good: make it
    // now, so that the leak check does not take it for a leak of the first failing input.
    SDL_SetError("start");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    picture_header header;
    SDL_RWops* source = SDL_RWFromConstMem(data, static_cast<int>(size));
    if (!source)
        return 0;
    bool readable = read_picture_header(source, &header) == 0;
    if (SDL_RWtell(source) != 0)
        abort();
    UniqueSurface picture = convert_surface(load_picture_source(source, "fuzz"));
    if (picture && (!readable || picture->w != header.width || picture->h != header.height ||
                    int64_t(picture->w) * picture->h > PICTURE_MAX_PIXELS))
        abort();
    return 0;
}
