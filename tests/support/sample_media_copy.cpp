#include "tests/support/sample_media_copy.h"

#include "core/unique_fd.h"
#include "sim/sample_media.h"

#include <fcntl.h>
#include <sys/file.h>

#include <filesystem>
#include <fstream>
#include <iterator>

namespace board_test {

namespace fs = std::filesystem;

namespace {

std::string file_text(const fs::path& file)
{
    std::ifstream in(file);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

} // namespace

int install_sample_media(const std::string& root)
{
    std::error_code error;
    const fs::path program = fs::read_symlink("/proc/self/exe", error);
    const fs::file_time_type built = fs::last_write_time(program, error);
    if (error)
        return make_sample_media(root);
    const fs::path made = fs::path(TEST_CACHE_DIR) / program.filename();
    fs::create_directories(made.parent_path(), error);
    UniqueFD lock(open((made.string() + ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644));
    if (!lock.valid() || flock(lock.get(), LOCK_EX) != 0)
        return -1;
    // The stamp is written last, so media cut short by a failure or a kill are made again.
    const fs::path stamp = made / "built";
    const std::string stamp_text = std::to_string(built.time_since_epoch().count());
    if (file_text(stamp) != stamp_text) {
        fs::remove_all(made, error);
        if (make_sample_media((made / "root").string()) != 0)
            return -1;
        std::ofstream(stamp) << stamp_text;
    }
    fs::copy(made / "root", root, fs::copy_options::recursive | fs::copy_options::overwrite_existing, error);
    return error ? -1 : 0;
}

} // namespace board_test
