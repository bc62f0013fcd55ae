// Storage and shell utilities: shell commands with captured output, MD5 sums, free disk space,
// the choice of a USB disk, and the in-place conversions of text received from the host.
#pragma once

#include <cstddef>
#include <cstdio>
#include <functional>
#include <string>

// Room `exec_cmd` needs in its output buffer (it reads at most one byte less).
inline constexpr size_t EXEC_CMD_OUT_SIZE = 4096;
// Size of the fixed path buffers the system passes around.
inline constexpr size_t PATH_BUF_SIZE = 256;

// Runs `cmd` through the shell; returns the bytes of standard output read (at most 4095) and
// copies them, terminated, into `out` when it is not null. -1 when nothing was read.
int exec_cmd(const char* cmd, char* out);

// MD5 sum of a file through `md5sum`: 32 lower-case hex digits in a static buffer, or null.
char* get_file_md5sum(const char* path);

// Free 1 KiB blocks of the disk holding `path`, through `df`; -1 when it cannot be told.
// 64 bits also on the board, where `long` holds no more than 2 TiB in KiB.
long long get_disk_free_size(const char* path);
long long parse_disk_free_size(const char* path, const char* text);

// First disk under /media with free space: its free KiB, its path in `out` (PATH_BUF_SIZE bytes).
long long find_available_disk(char* out);

// Calls `visit` with the path of each subdirectory of `dir` in listing order until it returns
// true. Returns 1 when a visit returned true, 0 when none did, -1 when `dir` cannot be opened.
int for_each_subdirectory(const std::string& dir, const std::function<bool(const std::string&)>& visit);

int file_exist(const char* path);
// 1 when `path` is a directory itself, not a link to one.
int is_real_directory(const char* path);

// Files written for the host never go through a link planted on the disk: the directory of
// `path` must not be a link, and an existing entry named like the file (a link, or a file) is
// removed and a new file made in its place. An open descriptor, or -1.
int create_file_nofollow(const char* path);
// The same as a stream opened with `mode` ("wb", "wb+"); null on failure.
FILE* create_stream_nofollow(const char* path, const char* mode);
// Opens `path` for reading unless it, or its directory, is a link; a descriptor, or -1.
int open_file_nofollow(const char* path);
// The same as a stream ("rb"); null on failure.
FILE* open_stream_nofollow(const char* path);
// Size in bytes of the file at `path`, -1 when it cannot be told; 64 bits also on the board,
// as firmware images and long videos pass 2 GiB.
long long file_size(const char* path);
void print_time(const char* tag);
void str_tolower(char* s);
char* replace_n(char* s);
void remove_char(char* s, char c);
void replace_str_n(char* s);

// The board's version text ("cat /emulator/version"), cut to fit `size` bytes; -1 when none.
int get_system_version(char* out, size_t size);
