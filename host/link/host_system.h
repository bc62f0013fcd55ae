// What tavimoro-host needs of the host system besides the link, one file per system: this user's
// folder for small state files, such files locked and read or written whole, going on in the
// background, and the picture module.
#pragma once

#include "host/common/picture_fit.h"

#include <cstddef>
#include <memory>
#include <string>

// This user's own folder for the tool's state (under the test host root), made when missing;
// "" when there is none that only this user can write to.
std::string user_state_dir();

// A small file of this user's, opened for reading and writing (made when missing).
struct state_file;
void close_state_file(state_file* file);
struct state_file_closer {
    void operator()(state_file* file) const { close_state_file(file); }
};
using state_handle = std::unique_ptr<state_file, state_file_closer>;
state_handle open_state_file(const std::string& path);

// Waits for, and gives back, the file's exclusive lock among the processes that use it.
bool lock_state_file(state_file& file);
void unlock_state_file(state_file& file);

// The first `size` bytes of the file: false when it holds fewer.
bool read_state_file(state_file& file, void* data, size_t size);
bool write_state_file(state_file& file, const void* data, size_t size);

// Replaces the file at `path` with `text`, whole or nothing, never through a planted link.
bool replace_small_file(const std::string& path, const std::string& text);

// The command goes on in the background while the caller returns with 0 at once. On a system
// that cannot fork, the program is started again with `--event-place PLACE` added, and this
// process ends; where that fails it goes on here, in the foreground.
void continue_in_background(unsigned long long place);

// The picture module's fitting, loaded beside the program; null with `why` when there is none.
fit_picture_function load_picture_fitter(std::string& why);
