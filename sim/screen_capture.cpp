// Screen file reader: a frame counts only when its sequence was the same even number before
// and after the copy, since the display rewrites the file in place.
#include "sim/screen_capture.h"

#include "banner/surface.h"
#include "core/unique_fd.h"

#include <SDL.h>
#include <SDL_image.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <thread>

namespace {

constexpr size_t HEADER_SIZE = 64;
constexpr char MAGIC[] = "TAVSCRN1";
constexpr size_t SEQUENCE_OFFSET = 24;
constexpr uint32_t FORMAT_RGBA = 0;
constexpr int READ_TRIES = 50;
constexpr uint32_t GRID_STEP = 64;

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

int64_t read_screen_sequence(const std::string& file)
{
    UniqueFD fd(open(file.c_str(), O_RDONLY | O_CLOEXEC));
    uint8_t header[HEADER_SIZE];
    if (!fd.valid() || !read_all(fd.get(), header, sizeof header, 0) || memcmp(header, MAGIC, 8) != 0)
        return -1;
    return static_cast<int64_t>(field<uint64_t>(header, SEQUENCE_OFFSET));
}

double mean_difference(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b, size_t bytes)
{
    if (bytes == 0 || a.size() < bytes || b.size() < bytes)
        return 0;
    double total = 0;
    for (size_t i = 0; i < bytes; i++)
        total += std::abs(int(a[i]) - int(b[i]));
    return total / double(bytes);
}

int save_screen_png(const ScreenImage& image, const std::string& file, uint32_t rows)
{
    uint32_t height = rows == 0 || rows > image.height ? image.height : rows;
    std::vector<uint8_t> pixels(image.rgba.begin(), image.rgba.begin() + static_cast<size_t>(image.width) * 4 * height);
    UniqueSurface surface(SDL_CreateRGBSurfaceWithFormatFrom(pixels.data(), static_cast<int>(image.width), static_cast<int>(height), 32,
                                           static_cast<int>(image.width * 4), SDL_PIXELFORMAT_ABGR8888));
    if (!surface)
        return -1;
    return IMG_SavePNG(surface.get(), file.c_str()) == 0 ? 0 : -1;
}

int load_picture(const std::string& file, ScreenImage& picture)
{
    UniqueSurface converted = convert_surface(UniqueSurface(IMG_Load(file.c_str())));
    if (!converted)
        return -1;
    picture.width = static_cast<uint32_t>(converted->w);
    picture.height = static_cast<uint32_t>(converted->h);
    picture.rgba.resize(size_t(picture.width) * 4 * picture.height);
    for (uint32_t row = 0; row < picture.height; row++)
        memcpy(picture.rgba.data() + size_t(row) * picture.width * 4,
               static_cast<const uint8_t*>(converted->pixels) + size_t(row) * converted->pitch, picture.width * 4);
    return 0;
}

bool screen_shows(const ScreenImage& screen, const ScreenImage& picture, int tolerance)
{
    if (picture.width > screen.width || picture.height > screen.height || picture.rgba.empty())
        return false;
    for (uint32_t y = GRID_STEP / 2; y < picture.height; y += GRID_STEP) {
        for (uint32_t x = GRID_STEP / 2; x < picture.width; x += GRID_STEP) {
            const uint8_t* shown = screen.rgba.data() + (size_t(y) * screen.width + x) * 4;
            const uint8_t* wanted = picture.rgba.data() + (size_t(y) * picture.width + x) * 4;
            for (int colour = 0; colour < 3; colour++) {
                if (std::abs(int(shown[colour]) - int(wanted[colour])) > tolerance)
                    return false;
            }
        }
    }
    return true;
}
