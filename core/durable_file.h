// Whole-or-nothing files: a file is written under a hidden name beside its final one, made
// durable, and only then renamed over the final name, so that a reader, a watcher or a power
// cut sees the old file or the new one, never a part of it.
#pragma once

#include <cstddef>
#include <string>

// The hidden name a file for `path` is written under: ".NAME.tavimoro-part" in the same
// directory. Its ending is no picture, video or image name, so no media lookup, update watch or
// recovery search can match it.
std::string partial_path(const char* path);

// Makes the written file `fd` (open at `partial`) durable, renames it over `path` and makes the
// directory durable. 0; -1 when a step failed, and the partial file is then removed.
int commit_partial(int fd, const std::string& partial, const char* path);

// Writes `size` bytes of `data` as the whole new content of `path` through a partial file,
// never through a link planted at either name. 0 or -1.
int write_file_durably(const char* path, const void* data, size_t size);

// Removes the partial files a crash or a power cut left behind in `dir`, and in its
// subdirectories down to `depth` levels (links are never followed): ours, and the ".safewrite"
// files of the package unpacker. Returns how many were removed.
int remove_partial_files(const std::string& dir, int depth);
