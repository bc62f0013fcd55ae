// The virtual output that stands in for the card off the board: an offscreen 1920x1080 surface
// whose flips complete at the next vertical blank after they are requested, each completed flip
// written to the screen file ROOT/sim/screen.
#pragma once

#include <cstddef>
#include <cstdint>

inline constexpr int VIRTUAL_WIDTH = 1920;
inline constexpr int VIRTUAL_HEIGHT = 1080;
inline constexpr const char* SCREEN_FILE = "/sim/screen";

// Screen file layout: a 64-byte little-endian header, then the rows, top row first, in bytes
// R, G, B, A. The sequence is odd while a frame is being written and even when it is complete.
struct screen_header {
    char magic[8];
    uint32_t width;
    uint32_t height;
    uint32_t stride;
    uint32_t format;
    uint64_t sequence;
    uint8_t reserved[32];
};
static_assert(sizeof(screen_header) == 64);
static_assert(offsetof(screen_header, width) == 8);
static_assert(offsetof(screen_header, stride) == 16);
static_assert(offsetof(screen_header, format) == 20);
static_assert(offsetof(screen_header, sequence) == 24);

inline constexpr char SCREEN_MAGIC[8] = {'T', 'A', 'V', 'S', 'C', 'R', 'N', '1'};
inline constexpr uint32_t SCREEN_FORMAT_RGBA = 0;

// What the virtual output holds, and the calls it refused (a framebuffer it does not know, a
// buffer released twice, a flip requested while one is pending): for checking the bookkeeping.
struct virtual_output_stats {
    int framebuffers;
    int locked_buffers;
    int refused_calls;
};
virtual_output_stats get_virtual_output_stats();
