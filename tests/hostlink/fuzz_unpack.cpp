// libFuzzer target: arbitrary archives through the package unpacker, into a directory of a
// temporary tree; nothing may land beside that directory, and only files and directories in it.
#include "hostlink/package_unpack.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

namespace fs = std::filesystem;

namespace {

// Room for a few entries, small enough that a lying archive meets the end of it.
constexpr int64_t FREE_BYTES = 1 << 20;

fs::path fuzz_tree;
fs::path product;

void remove_tree()
{
    fs::remove_all(fuzz_tree);
}

void check_tree()
{
    if (!fs::is_directory(fs::symlink_status(product)))
        abort();
    for (const auto& entry : fs::directory_iterator(fuzz_tree)) {
        if (entry.path() != product)
            abort();
    }
    for (const auto& entry : fs::recursive_directory_iterator(product)) {
        fs::file_status status = entry.symlink_status();
        if (!fs::is_regular_file(status) && !fs::is_directory(status))
            abort();
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    if (!freopen("/dev/null", "w", stdout))
        abort();
    std::string pattern = (fs::temp_directory_path() / "tavimoro-unpack-XXXXXX").string();
    if (!mkdtemp(pattern.data()))
        abort();
    fuzz_tree = pattern;
    product = fuzz_tree / "vorlix";
    atexit(remove_tree);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    fs::create_directory(product);
    unpack_package_memory(data, size, product.c_str(), FREE_BYTES);
    check_tree();
    fs::remove_all(product);
    return 0;
}
