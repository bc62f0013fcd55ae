// Unpacking a media package (a zip archive) into the product directory, safely: only regular
// files and directories, only inside the directory, never through a link, and only when it fits.
#pragma once

#include <cstddef>
#include <cstdint>

// Unpacks the package at `package` into `dir`. Entries that are links, devices or FIFOs, or whose
// names are absolute or hold "..", are skipped with a log line. Existing files are replaced,
// other files kept. Nothing is written when the entries' total size exceeds `free_bytes`, and the
// unpack stops once more than `free_bytes` were written (the sizes in the archive lied). 0 when
// every kept entry was unpacked, -1 otherwise.
int unpack_package(const char* package, const char* dir, int64_t free_bytes);
// The same for a package held in memory.
int unpack_package_memory(const void* data, size_t size, const char* dir, int64_t free_bytes);
