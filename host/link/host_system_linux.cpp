// The host system's parts on Linux: the runtime folder, flock'ed state files, fork, and the
// picture module loaded with dlopen.
#include "host/link/host_system.h"

#include "core/unique_fd.h"
#include "host/link/link_client.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>

struct state_file {
    UniqueFD fd;
};

void close_state_file(state_file* file)
{
    delete file;
}

namespace {

bool lock(int fd, int how)
{
    int locked;
    do
        locked = flock(fd, how);
    while (locked != 0 && errno == EINTR);
    return locked == 0;
}

} // namespace

std::string user_state_dir()
{
    std::string root = host_root();
    std::string dir = root;
    if (const char* runtime = getenv("XDG_RUNTIME_DIR"); runtime && *runtime)
        dir += std::string(runtime) + "/tavimoro";
    else
        dir += "/tmp/tavimoro-" + std::to_string(getuid());
    // Under a test's host root the system's folders are not there yet.
    std::error_code ignored;
    if (!root.empty())
        std::filesystem::create_directories(std::filesystem::path(dir).parent_path(), ignored);
    if (mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST)
        return "";
    // In a shared /tmp another user could have made the folder first, to plant links in it.
    struct stat st;
    if (lstat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != getuid() || (st.st_mode & 022) != 0)
        return "";
    return dir;
}

state_handle open_state_file(const std::string& path)
{
    UniqueFD fd(open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600));
    return fd.valid() ? state_handle(new state_file{std::move(fd)}) : nullptr;
}

bool lock_state_file(state_file& file)
{
    return lock(file.fd.get(), LOCK_EX);
}

void unlock_state_file(state_file& file)
{
    lock(file.fd.get(), LOCK_UN);
}

bool read_state_file(state_file& file, void* data, size_t size)
{
    return pread(file.fd.get(), data, size, 0) == static_cast<ssize_t>(size);
}

bool write_state_file(state_file& file, const void* data, size_t size)
{
    return pwrite(file.fd.get(), data, size, 0) == static_cast<ssize_t>(size);
}

bool replace_small_file(const std::string& path, const std::string& text)
{
    std::string partial = path + "." + std::to_string(getpid());
    UniqueFD file(open(partial.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600));
    bool written = file.valid() && write(file.get(), text.data(), text.size()) == static_cast<ssize_t>(text.size());
    if (written && rename(partial.c_str(), path.c_str()) == 0)
        return true;
    unlink(partial.c_str());
    return false;
}

// The child goes on with everything the parent holds; the parent ends at once.
void continue_in_background(unsigned long long)
{
    pid_t child = fork();
    if (child < 0) {
        fprintf(stderr, "tavimoro-host: cannot go to the background (%s): sending now\n", strerror(errno));
        return;
    }
    if (child > 0)
        _exit(0);
    setsid();
}

// Installed or in the build tree, the module is in the same place beside the tool.
fit_picture_function load_picture_fitter(std::string& why)
{
    std::error_code error;
    std::filesystem::path tool = std::filesystem::read_symlink("/proc/self/exe", error);
    void* module = dlopen((tool.parent_path() / TAVIMORO_PICTURE_MODULE).c_str(), RTLD_NOW | RTLD_LOCAL);
    auto fit = module ? reinterpret_cast<fit_picture_function>(dlsym(module, FIT_PICTURE_SYMBOL)) : nullptr;
    if (!fit)
        why = dlerror();
    return fit;
}
