// tavimoro-media build's destinations: the product tree on a disk, or a package zip and its cache.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

struct build_options;

// Where the product tree goes: the disk's product directory, or the package's cache. The disk
// or folder given (or the folder the package goes into) must exist: only the product directory
// and its tree (named `tree`) are made. 0, or -1 with the reason printed.
int prepare_product(const build_options& options, const char* tree, std::filesystem::path& product);

// Writes `package` holding the files `names` (relative to `product`) under those names; 0, or
// -1 with the reason printed and no package written.
int write_package(const std::string& package, const std::filesystem::path& product,
                  const std::vector<std::string>& names);
