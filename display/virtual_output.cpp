// The virtual output: EGL on Mesa's surfaceless platform with a pbuffer, scan-out buffers
// captured from it, and a presenter thread that completes each flip at the next vertical blank
// after its request by writing the frame to the screen file.
#include "display/virtual_output.h"

#include "core/board_root.h"
#include "core/unique_fd.h"
#include "display/display_device.h"
#include "display/display_output.h"

#include <EGL/eglext.h>
#include <GLES2/gl2.h>
#include <GLES2/gl2ext.h>
#include <fcntl.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <bit>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

static_assert(std::endian::native == std::endian::little, "the screen file header is little-endian");

namespace {

using clock_type = std::chrono::steady_clock;

constexpr int BYTES_PER_PIXEL = 4;
constexpr size_t ROW_BYTES = size_t(VIRTUAL_WIDTH) * BYTES_PER_PIXEL;
constexpr size_t FRAME_BYTES = ROW_BYTES * VIRTUAL_HEIGHT;
constexpr size_t SCREEN_FILE_BYTES = sizeof(screen_header) + FRAME_BYTES;
// As many colour buffers as a GBM surface usually has: one on screen, one pending, one spare.
constexpr size_t BUFFER_COUNT = 3;
constexpr uint8_t OPAQUE = 0xFF;
const EGLint pbufferAttributes[] = {EGL_WIDTH, VIRTUAL_WIDTH, EGL_HEIGHT, VIRTUAL_HEIGHT, EGL_NONE};

struct virtual_buffer {
    std::vector<uint8_t> pixels;  // as read back: bottom row first, only the drawn rows
    bool bgra = false;            // read back in bytes B, G, R, A
    bool screen_words = false;    // the drawn rows are already as the screen file holds them
    int drawn_y = 0;              // GL rows [drawn_y, drawn_end) were read back; every other
    int drawn_end = 0;            // row is the colour `rest`, as a screen word
    uint32_t rest = 0;
    bool locked = false;
    uint32_t fb_id = 0;           // 0: no framebuffer
};

struct unmap_screen {
    void operator()(uint8_t* map) const { munmap(map, SCREEN_FILE_BYTES); }
};

struct pending_flip {
    virtual_buffer* buffer = nullptr;
    uint32_t fb_id = 0;
    void* data = nullptr;
    clock_type::time_point due;
};

std::array<virtual_buffer, BUFFER_COUNT> buffers;
uint32_t last_fb_id;
UniqueFD event_fd;
std::unique_ptr<uint8_t, unmap_screen> screen;

// Shared with the presenter thread.
std::mutex flip_mutex;
std::condition_variable flip_cond;
pending_flip pending;
void* completed_data;     // user data of a completed flip whose event is not yet handled
bool flip_completed;
uint32_t scanout_fb_id;   // framebuffer on screen, 0 when the output is dark
unsigned int frame_count;
bool presenter_stop;
std::thread presenter;
clock_type::time_point scanout_start;  // the first vertical blank

// What the screen file's rows outside the last frame's drawn rows hold, so that a frame that
// leaves them as they are does not write them again; unknown before the first frame.
struct screen_rows {
    bool known = false;
    int drawn_y = 0, drawn_end = 0;
    uint32_t rest = 0;
};
screen_rows on_screen;

// The order the renderer reads its pixels in fastest: Mesa's software renderer keeps them as
// B, G, R, A and reads them so as a plain copy, where R, G, B, A costs twice the time.
GLenum read_format;

std::atomic<int> framebuffers;
std::atomic<int> locked_buffers;
std::atomic<int> refused_calls;

screen_header& header()
{
    return *reinterpret_cast<screen_header*>(screen.get());
}

// A pixel as read back, as the screen file holds it: R, G, B, then an opaque alpha, since what
// is scanned out has none. Pixels are handled as little-endian words, which the compiler turns
// into vector code.
uint32_t screen_word(uint32_t pixel, bool bgra)
{
    if (bgra)
        pixel = (pixel & 0x0000FF00u) | ((pixel >> 16) & 0xFFu) | ((pixel & 0xFFu) << 16);
    return pixel | uint32_t(OPAQUE) << 24;
}

// Turns a capture's drawn rows into screen words in place, once.
void convert_to_screen_words(virtual_buffer& buffer)
{
    if (buffer.screen_words)
        return;
    uint8_t* at = buffer.pixels.data() + size_t(buffer.drawn_y) * ROW_BYTES;
    const uint8_t* end = buffer.pixels.data() + size_t(buffer.drawn_end) * ROW_BYTES;
    for (; at < end; at += BYTES_PER_PIXEL) {
        uint32_t pixel;
        memcpy(&pixel, at, sizeof pixel);
        pixel = screen_word(pixel, buffer.bgra);
        memcpy(at, &pixel, sizeof pixel);
    }
    buffer.screen_words = true;
}

// Writes one frame under the odd/even sequence: readers accept a copy only when the same even
// sequence was there before and after it. Null shows a dark output. The pixels are converted
// before the sequence turns odd, so that the file is mid-write only for the length of a plain
// copy: with frames at full rate on a loaded machine, a longer window starves the readers.
void write_screen(virtual_buffer* buffer)
{
    if (buffer)
        convert_to_screen_words(*buffer);
    std::atomic_ref<uint64_t> sequence(header().sequence);
    sequence.store(sequence.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
    std::atomic_thread_fence(std::memory_order_release);
    uint8_t* rows = screen.get() + sizeof(screen_header);
    const screen_rows next = buffer ? screen_rows{true, buffer->drawn_y, buffer->drawn_end, buffer->rest}
                                    : screen_rows{true, 0, 0, screen_word(0, false)};
    // GL reads bottom row first; the screen file is top row first.
    for (int y = 0; y < VIRTUAL_HEIGHT; y++) {
        const int gl_row = VIRTUAL_HEIGHT - 1 - y;
        uint8_t* row = rows + size_t(y) * ROW_BYTES;
        if (gl_row >= next.drawn_y && gl_row < next.drawn_end) {
            memcpy(row, buffer->pixels.data() + size_t(gl_row) * ROW_BYTES, ROW_BYTES);
            continue;
        }
        const bool unchanged = on_screen.known && on_screen.rest == next.rest &&
                               (gl_row < on_screen.drawn_y || gl_row >= on_screen.drawn_end);
        for (size_t at = 0; !unchanged && at < ROW_BYTES; at += BYTES_PER_PIXEL)
            memcpy(row + at, &next.rest, sizeof next.rest);
    }
    on_screen = next;
    sequence.store(sequence.load(std::memory_order_relaxed) + 1, std::memory_order_release);
}

// The display blanks at a steady rate from when it was opened, as a real one does whenever its
// flips are asked for: a flip completes at the first blank after its request, so a frame asked
// for a little late still keeps its place.
clock_type::time_point next_vblank(clock_type::time_point now)
{
    const auto period = std::chrono::nanoseconds(1'000'000'000 / g_display_freq);
    return scanout_start + ((now - scanout_start) / period + 1) * period;
}

// Completes each requested flip at the next vertical blank, then makes the event descriptor
// readable.
void presenter_proc()
{
    pthread_setname_np(pthread_self(), "presenter");
    std::unique_lock lock(flip_mutex);
    while (!presenter_stop) {
        if (!pending.buffer) {
            flip_cond.wait(lock);
            continue;
        }
        if (flip_cond.wait_until(lock, pending.due, [] { return presenter_stop || !pending.buffer; }))
            continue;
        write_screen(pending.buffer);
        scanout_fb_id = pending.fb_id;
        completed_data = pending.data;
        flip_completed = true;
        frame_count++;
        pending = {};
        uint64_t one = 1;
        if (write(event_fd.get(), &one, sizeof one) != sizeof one)
            perror("virtual display event");
    }
}

int open_screen_file()
{
    std::string path = board_path(SCREEN_FILE);
    std::error_code ignored;
    std::filesystem::create_directories(std::filesystem::path(path).parent_path(), ignored);
    UniqueFD file(open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
    if (!file.valid() || ftruncate(file.get(), SCREEN_FILE_BYTES) != 0) {
        printf("%s Failed to open %s\n", "initVideo", path.c_str());
        return -1;
    }
    void* map = mmap(nullptr, SCREEN_FILE_BYTES, PROT_READ | PROT_WRITE, MAP_SHARED, file.get(), 0);
    if (map == MAP_FAILED) {
        printf("%s Failed to open %s\n", "initVideo", path.c_str());
        return -1;
    }
    screen.reset(static_cast<uint8_t*>(map));
    screen_header& head = header();
    memcpy(head.magic, SCREEN_MAGIC, sizeof head.magic);
    head.width = VIRTUAL_WIDTH;
    head.height = VIRTUAL_HEIGHT;
    head.stride = ROW_BYTES;
    head.format = SCREEN_FORMAT_RGBA;
    printf("%s: virtual display %dx%d, screen file %s\n", "initVideo", VIRTUAL_WIDTH, VIRTUAL_HEIGHT, path.c_str());
    return 0;
}

int open_virtual()
{
    framebuffers = locked_buffers = refused_calls = 0;
    read_format = 0;
    on_screen = {};
    last_fb_id = 0;
    scanout_fb_id = 0;
    frame_count = 0;
    pending = {};
    flip_completed = false;
    presenter_stop = false;
    scanout_start = clock_type::now();
    if (open_screen_file() != 0)
        return -1;
    event_fd.reset(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC));
    if (!event_fd.valid()) {
        perror("virtual display event");
        return -1;
    }
    for (virtual_buffer& buffer : buffers)
        buffer = {std::vector<uint8_t>(FRAME_BYTES), false, 0, 0, 0, false, 0};
    presenter = std::thread(presenter_proc);
    return 0;
}

void* surfaceless_display()
{
    return EGL_DEFAULT_DISPLAY;
}

EGLSurface create_pbuffer_surface(EGLDisplay display, EGLConfig config)
{
    return eglCreatePbufferSurface(display, config, pbufferAttributes);
}

// A new pbuffer holds whatever its memory held; the board's new scan-out buffers come zeroed
// from the kernel, so its first, undrawn frame is black. Start from the same.
void clear_new_surface()
{
    glClearColor(0.0f, 0.0f, 0.0f, 0.0f);
    glClear(GL_COLOR_BUFFER_BIT);
}

int virtual_event_fd()
{
    return event_fd.get();
}

// What the last eglSwapBuffers finished, captured into a free buffer: its drawn rows, and the
// colour of the others from one pixel.
void* lock_front_buffer(drawn_rows rows)
{
    if (!read_format) {
        GLint format = 0, type = 0;
        glGetIntegerv(GL_IMPLEMENTATION_COLOR_READ_FORMAT, &format);
        glGetIntegerv(GL_IMPLEMENTATION_COLOR_READ_TYPE, &type);
        read_format = format == GL_BGRA_EXT && type == GL_UNSIGNED_BYTE ? GL_BGRA_EXT : GL_RGBA;
    }
    const int drawn_y = std::clamp(rows.y, 0, VIRTUAL_HEIGHT);
    const int drawn_end = int(std::clamp(int64_t(rows.y) + rows.height, int64_t(drawn_y), int64_t(VIRTUAL_HEIGHT)));
    for (virtual_buffer& buffer : buffers) {
        if (buffer.locked)
            continue;
        if (drawn_end > drawn_y)
            glReadPixels(0, drawn_y, VIRTUAL_WIDTH, drawn_end - drawn_y, read_format, GL_UNSIGNED_BYTE,
                         buffer.pixels.data() + size_t(drawn_y) * ROW_BYTES);
        uint32_t rest = 0;
        const int rest_row = drawn_y > 0 ? 0 : drawn_end;
        if (rest_row < VIRTUAL_HEIGHT)
            glReadPixels(0, rest_row, 1, 1, read_format, GL_UNSIGNED_BYTE, &rest);
        buffer.bgra = read_format == GL_BGRA_EXT;
        buffer.screen_words = false;
        buffer.rest = screen_word(rest, buffer.bgra);
        buffer.drawn_y = drawn_y;
        buffer.drawn_end = drawn_end;
        buffer.locked = true;
        locked_buffers++;
        return &buffer;
    }
    return nullptr;
}

void release_buffer(void* bo)
{
    auto* buffer = static_cast<virtual_buffer*>(bo);
    if (!buffer || !buffer->locked) {
        refused_calls++;
        return;
    }
    buffer->locked = false;
    locked_buffers--;
}

uint32_t add_fb(void* bo)
{
    auto* buffer = static_cast<virtual_buffer*>(bo);
    buffer->fb_id = ++last_fb_id;
    framebuffers++;
    return buffer->fb_id;
}

virtual_buffer* find_fb(uint32_t fb_id)
{
    for (virtual_buffer& buffer : buffers) {
        if (fb_id != 0 && buffer.fb_id == fb_id)
            return &buffer;
    }
    return nullptr;
}

// Removing the framebuffer on screen darkens the output; removing the one of a pending flip
// cancels that flip.
void remove_fb(uint32_t fb_id)
{
    virtual_buffer* buffer = find_fb(fb_id);
    if (!buffer) {
        refused_calls++;
        return;
    }
    std::lock_guard lock(flip_mutex);
    if (pending.buffer == buffer) {
        pending = {};
        flip_cond.notify_all();
    }
    if (scanout_fb_id == fb_id) {
        write_screen(nullptr);
        scanout_fb_id = 0;
    }
    buffer->fb_id = 0;
    framebuffers--;
}

int set_crtc(uint32_t fb_id)
{
    virtual_buffer* buffer = find_fb(fb_id);
    if (!buffer)
        return -1;
    std::lock_guard lock(flip_mutex);
    write_screen(buffer);
    scanout_fb_id = fb_id;
    return 0;
}

int page_flip(uint32_t fb_id, void* data)
{
    virtual_buffer* buffer = find_fb(fb_id);
    std::lock_guard lock(flip_mutex);
    if (!buffer || pending.buffer) {
        refused_calls++;
        return -1;
    }
    pending = {buffer, fb_id, data, next_vblank(clock_type::now())};
    flip_cond.notify_all();
    return 0;
}

void handle_events()
{
    uint64_t count = 0;
    if (read(event_fd.get(), &count, sizeof count) != sizeof count)
        return;
    void* data;
    unsigned int frame;
    {
        std::lock_guard lock(flip_mutex);
        if (!flip_completed)
            return;
        flip_completed = false;
        data = completed_data;
        frame = frame_count;
    }
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    if (g_evctx.page_flip_handler)
        g_evctx.page_flip_handler(event_fd.get(), frame, now.tv_sec, now.tv_nsec / 1000, data);
}

void close_virtual()
{
    if (presenter.joinable()) {
        {
            std::lock_guard lock(flip_mutex);
            presenter_stop = true;
        }
        flip_cond.notify_all();
        presenter.join();
    }
    screen.reset();
    event_fd.reset();
    for (virtual_buffer& buffer : buffers)
        buffer = {};
}

} // namespace

const display_output virtual_output = {
    .open = open_virtual,
    .platform = EGL_PLATFORM_SURFACELESS_MESA,
    .native_display = surfaceless_display,
    .surface_type = EGL_PBUFFER_BIT,
    // Every pixel the renderer draws is fully covered by its quad, so multisampling changes
    // nothing on screen; in software it only costs time.
    .samples = 0,
    .create_surface = create_pbuffer_surface,
    .prepare_surface = clear_new_surface,
    .event_fd = virtual_event_fd,
    .lock_front_buffer = lock_front_buffer,
    .release_buffer = release_buffer,
    .add_fb = add_fb,
    .remove_fb = remove_fb,
    .set_crtc = set_crtc,
    .page_flip = page_flip,
    .handle_events = handle_events,
    .close = close_virtual,
};

virtual_output_stats get_virtual_output_stats()
{
    return {framebuffers, locked_buffers, refused_calls};
}
