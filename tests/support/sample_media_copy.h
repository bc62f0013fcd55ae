// The sample disk and boot media for a test's board root, made once per test program.
#pragma once

#include <string>

namespace board_test {

// Puts the sample media (see make_sample_media) under `root`. Making them takes about a second
// natively and over ten under qemu-arm, and every player and hook test needs the same files: the
// first test of a program makes them in the build folder, under a lock, and each test copies
// them from there. They are made again when the test program has been rebuilt. 0, or -1.
int install_sample_media(const std::string& root);

} // namespace board_test
