// Screen file reader: a frame counts only when its sequence was the same even number before
// and after the copy, since the display rewrites the file in place.
#include "tools/screen_capture.h"

#include "device/unique_fd.h"

#include <SDL.h>
#include <SDL_image.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstring>
#include <memory>
#include <thread>

namespace {

constexpr size_t HEADER_SIZE = 64;
constexpr char MAGIC[] = "TAVSCRN1";
constexpr size_t SEQUENCE_OFFSET = 24;
constexpr uint32_t FORMAT_RGBA = 0;
constexpr int READ_TRIES = 50;

template <typename T> T field(const uint8_t* header, size_t offset)
{
    T value;
    memcpy(&value, header + offset, sizeof value);
    return value;
}

bool read_all(int fd, void* buffer, size_t size, off_t offset)
{
    auto* bytes = static_cast<uint8_t*>(buffer);
    while (size > 0) {
        ssize_t n = pread(fd, bytes, size, offset);
        if (n <= 0)
            return false;
        bytes += n;
        size -= static_cast<size_t>(n);
        offset += n;
    }
    return true;
}

} // namespace

int read_screen(const std::string& file, ScreenImage& image)
{
    UniqueFD fd(open(file.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd.valid())
        return -1;
    for (int attempt = 0; attempt < READ_TRIES; attempt++) {
        uint8_t header[HEADER_SIZE];
        if (!read_all(fd.get(), header, sizeof header, 0) || memcmp(header, MAGIC, 8) != 0)
            return -1;
        uint32_t width = field<uint32_t>(header, 8), height = field<uint32_t>(header, 12);
        uint32_t stride = field<uint32_t>(header, 16);
        uint64_t before = field<uint64_t>(header, SEQUENCE_OFFSET);
        if (field<uint32_t>(header, 20) != FORMAT_RGBA || stride != width * 4)
            return -1;
        if (before % 2 == 0) {
            image.rgba.resize(static_cast<size_t>(stride) * height);
            uint64_t after = 0;
            if (!read_all(fd.get(), image.rgba.data(), image.rgba.size(), HEADER_SIZE) ||
                !read_all(fd.get(), &after, sizeof after, SEQUENCE_OFFSET))
                return -1;
            if (after == before) {
                image.width = width;
                image.height = height;
                image.sequence = before;
                return 0;
            }
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return -1;
}

int save_screen_png(const ScreenImage& image, const std::string& file, uint32_t rows)
{
    uint32_t height = rows == 0 || rows > image.height ? image.height : rows;
    std::vector<uint8_t> pixels(image.rgba.begin(), image.rgba.begin() + static_cast<size_t>(image.width) * 4 * height);
    std::unique_ptr<SDL_Surface, decltype([](SDL_Surface* s) { SDL_FreeSurface(s); })> surface(
        SDL_CreateRGBSurfaceWithFormatFrom(pixels.data(), static_cast<int>(image.width), static_cast<int>(height), 32,
                                           static_cast<int>(image.width * 4), SDL_PIXELFORMAT_ABGR8888));
    if (!surface)
        return -1;
    return IMG_SavePNG(surface.get(), file.c_str()) == 0 ? 0 : -1;
}
