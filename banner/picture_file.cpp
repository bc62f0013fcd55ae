// Picture headers and the bounded picture loader.
#include "banner/picture_file.h"

#include <SDL2/SDL_image.h>

#include <cstdio>
#include <cstring>

namespace {

constexpr Uint8 PNG_SIGNATURE[] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
constexpr Uint8 PNG_IHDR[] = {'I', 'H', 'D', 'R'};
constexpr Uint8 JPEG_MARKER = 0xFF;
constexpr Uint8 JPEG_SOI = 0xD8;
constexpr Uint8 JPEG_EOI = 0xD9;
constexpr Uint8 JPEG_SOS = 0xDA;
constexpr Uint8 JPEG_TEM = 0x01;
constexpr Uint8 JPEG_RST0 = 0xD0;
constexpr Uint8 JPEG_RST7 = 0xD7;
constexpr Uint8 JPEG_SOF0 = 0xC0;
constexpr Uint8 JPEG_SOF15 = 0xCF;
// In the range of the frame markers, but tables and arithmetic-coding parameters.
constexpr Uint8 JPEG_DHT = 0xC4;
constexpr Uint8 JPEG_JPG = 0xC8;
constexpr Uint8 JPEG_DAC = 0xCC;
// Segment length (2 bytes, counting itself) and sample precision before a frame's height.
constexpr size_t JPEG_LENGTH_SIZE = 2;
constexpr size_t JPEG_PRECISION_SIZE = 1;

bool read_bytes(SDL_RWops* source, void* out, size_t size)
{
    return SDL_RWread(source, out, 1, size) == size;
}

Uint32 be32(const Uint8* bytes)
{
    return Uint32(bytes[0]) << 24 | Uint32(bytes[1]) << 16 | Uint32(bytes[2]) << 8 | bytes[3];
}

bool read_be16(SDL_RWops* source, int* value)
{
    Uint8 bytes[2];
    if (!read_bytes(source, bytes, sizeof bytes))
        return false;
    *value = bytes[0] << 8 | bytes[1];
    return true;
}

// After the signature: the first chunk must be IHDR, width and height first in it.
int read_png_size(SDL_RWops* source, picture_header* header)
{
    Uint8 chunk[16];
    if (!read_bytes(source, chunk, sizeof chunk) || memcmp(chunk + 4, PNG_IHDR, sizeof PNG_IHDR) != 0)
        return -1;
    Uint32 width = be32(chunk + 8);
    Uint32 height = be32(chunk + 12);
    // PNG dimensions are at most 2^31 - 1.
    if (width == 0 || height == 0 || width > INT32_MAX || height > INT32_MAX)
        return -1;
    header->width = static_cast<int>(width);
    header->height = static_cast<int>(height);
    return 0;
}

bool is_jpeg_frame(Uint8 marker)
{
    return marker >= JPEG_SOF0 && marker <= JPEG_SOF15 && marker != JPEG_DHT && marker != JPEG_JPG &&
           marker != JPEG_DAC;
}

// The next marker code, skipping stray bytes and fill bytes as the decoder does; 0 at the end.
Uint8 next_jpeg_marker(SDL_RWops* source)
{
    Uint8 byte = 0;
    do {
        if (!read_bytes(source, &byte, 1))
            return 0;
    } while (byte != JPEG_MARKER);
    while (byte == JPEG_MARKER) {
        if (!read_bytes(source, &byte, 1))
            return 0;
    }
    return byte;
}

// After the start-of-image marker: walks the segments up to the first frame header.
int read_jpeg_size(SDL_RWops* source, picture_header* header)
{
    for (;;) {
        Uint8 marker = next_jpeg_marker(source);
        if (marker == 0 || marker == JPEG_SOI || marker == JPEG_EOI || marker == JPEG_SOS)
            return -1;
        if (marker == JPEG_TEM || (marker >= JPEG_RST0 && marker <= JPEG_RST7))
            continue;
        int length;
        if (!read_be16(source, &length) || length < static_cast<int>(JPEG_LENGTH_SIZE))
            return -1;
        if (!is_jpeg_frame(marker)) {
            if (SDL_RWseek(source, length - static_cast<int>(JPEG_LENGTH_SIZE), RW_SEEK_CUR) < 0)
                return -1;
            continue;
        }
        Uint8 precision;
        if (!read_bytes(source, &precision, JPEG_PRECISION_SIZE) || !read_be16(source, &header->height) ||
            !read_be16(source, &header->width))
            return -1;
        return header->width > 0 && header->height > 0 ? 0 : -1;
    }
}

int read_header_here(SDL_RWops* source, picture_header* header)
{
    Uint8 signature[sizeof PNG_SIGNATURE];
    if (!read_bytes(source, signature, 2))
        return -1;
    if (signature[0] == JPEG_MARKER && signature[1] == JPEG_SOI) {
        header->type = picture_type::jpeg;
        return read_jpeg_size(source, header);
    }
    if (!read_bytes(source, signature + 2, sizeof signature - 2) ||
        memcmp(signature, PNG_SIGNATURE, sizeof signature) != 0)
        return -1;
    header->type = picture_type::png;
    return read_png_size(source, header);
}

SDL_RWops* inner_source(SDL_RWops* self)
{
    return static_cast<SDL_RWops*>(self->hidden.unknown.data1);
}

// SDL_image's PNG reader does not look at how much a read gave, and libpng then goes on with the
// bytes it read before: a picture cut inside a chunk that libpng skips makes it read that chunk
// for ever. Past the end, this source gives zeros, which libpng refuses as a chunk; the JPEG
// reader counts what it got and is not changed by them.
size_t read_or_zeros(SDL_RWops* self, void* out, size_t size, size_t count)
{
    size_t wanted = size * count;
    size_t got = SDL_RWread(inner_source(self), out, 1, wanted);
    memset(static_cast<char*>(out) + got, 0, wanted - got);
    return size > 0 ? got / size : 0;
}

// `source` behind read_or_zeros; closing the result closes `source`. Null when it cannot be made.
SDL_RWops* zero_padded(SDL_RWops* source)
{
    SDL_RWops* padded = SDL_AllocRW();
    if (!padded) {
        SDL_RWclose(source);
        return nullptr;
    }
    padded->type = SDL_RWOPS_UNKNOWN;
    padded->hidden.unknown.data1 = source;
    padded->size = [](SDL_RWops* self) { return SDL_RWsize(inner_source(self)); };
    padded->seek = [](SDL_RWops* self, Sint64 offset, int whence) {
        return SDL_RWseek(inner_source(self), offset, whence);
    };
    padded->read = read_or_zeros;
    padded->write = [](SDL_RWops*, const void*, size_t, size_t) { return size_t(0); };
    padded->close = [](SDL_RWops* self) {
        int result = SDL_RWclose(inner_source(self));
        SDL_FreeRW(self);
        return result;
    };
    return padded;
}

} // namespace

int read_picture_header(SDL_RWops* source, picture_header* header)
{
    Sint64 start = SDL_RWtell(source);
    if (start < 0)
        return -1;
    int result = read_header_here(source, header);
    return SDL_RWseek(source, start, RW_SEEK_SET) < 0 ? -1 : result;
}

UniqueSurface load_picture_source(SDL_RWops* source, const char* name)
{
    if (!source)
        return nullptr;
    picture_header header;
    if (read_picture_header(source, &header) != 0) {
        SDL_RWclose(source);
        return nullptr;
    }
    if (int64_t(header.width) * header.height > PICTURE_MAX_PIXELS) {
        printf("%s: %s is too large: %dx%d\n", __func__, name, header.width, header.height);
        SDL_RWclose(source);
        return nullptr;
    }
    // Decoded as the type its header was read as, so that no other decoder sees it.
    SDL_RWops* padded = zero_padded(source);
    if (!padded)
        return nullptr;
    return UniqueSurface(IMG_LoadTyped_RW(padded, 1, header.type == picture_type::png ? "PNG" : "JPG"));
}

UniqueSurface load_picture_file(const char* path)
{
    return load_picture_source(SDL_RWFromFile(path, "rb"), path);
}
