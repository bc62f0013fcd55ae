// Transfer state shared by the file, firmware and package transfers and the show-image transfer:
// one transfer at a time, touched only on the reader thread.
#pragma once

#include "core/common.h"

#include <cstddef>
#include <cstdint>

extern char transmit_file_name[PATH_BUF_SIZE];
extern char transmit_file_path[PATH_BUF_SIZE];
extern uint32_t transmit_packet_size;

// Ends the transfer under way, if any: its partial file is removed and the file under the
// target's name stays as it was.
void close_transmit_file();

// Removes the partial files left by a crash or a power cut on every disk under /media not seen
// since it appeared, saying how many for each.
void clear_new_disks();

// Called by the reader when no report came for a while: abandons a transfer whose host stopped
// sending, and clears disks that appeared, when no transfer is under way.
void transfer_idle_tick();

// Copies a name field of a report into `out` (at least `field_size` bytes). False when the
// name is not terminated inside its field, is empty, holds "/" or is "." or "..": such a name
// could reach outside the target directory.
bool copy_file_name(const uint8_t* field, size_t field_size, char* out);

// "dir/name" into `out` (PATH_BUF_SIZE bytes); false when it would not fit.
bool join_path(const char* dir, const char* name, char* out);

// The size and packet count a prepare report announces, as unsigned 32-bit numbers: sizes of
// 2 GiB and more are not printed negative.
void print_prepare_sizes(const char* func, uint32_t size, uint32_t count);
