// Misc-partition writer: the record that starts recovery, the whole-block writes that put it on
// the partition, and the package search and reboot that the player and the updater share.
#pragma once

#include <cstddef>
#include <cstdio>

// The partition is written in whole, aligned blocks of this size.
inline constexpr size_t MISC_BLOCK_SIZE = 16384;
// Three blocks are written; the record starts the second one.
inline constexpr size_t MISC_IMAGE_SIZE = 3 * MISC_BLOCK_SIZE;
inline constexpr size_t MISC_RECORD_OFFSET = MISC_BLOCK_SIZE;

struct bootloader_message {
    char command[32];
    char status[32];
    char recovery[1024];
};
static_assert(sizeof(bootloader_message) == 1088);
static_assert(offsetof(bootloader_message, command) == 0);
static_assert(offsetof(bootloader_message, status) == 32);
static_assert(offsetof(bootloader_message, recovery) == 64);

// Writes size × count bytes at the stream's position, every device write a whole aligned block;
// returns the whole elements written and leaves the stream after them.
unsigned rk29_fwrite(const void* ptr, unsigned size, unsigned count, FILE* stream);
int set_bootloader_message_block_rk29(const bootloader_message* msg);
int set_bootloader_message(const bootloader_message* msg);
// Writes the record that makes recovery run with `argument`; 0, or -1 when it was not written.
int setMisc(const char* argument);

// Looks for "/media/<disk>" + `package` on every disk in listing order; 1 with the path left in
// `path` (PATH_BUF_SIZE bytes), 0 when no disk has it.
int find_package_on_disks(const char* package, char* path);
// Records the command that makes recovery install `package` from the USB disk; 1, or 0 on failure.
int write_update_cmd(const char* package);
// Runs "/sbin/reboot" through the shell; 1 when it ran and succeeded, else 0.
int run_reboot();
