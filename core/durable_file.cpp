// Whole-or-nothing files: written under a hidden partial name, flushed, renamed over the final
// name, and the directory flushed; leftovers of an interrupted write are found by their names.
#include "core/durable_file.h"

#include "core/common.h"
#include "core/unique_fd.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string_view>
#include <utility>

namespace {

constexpr std::string_view PARTIAL_SUFFIX = ".tavimoro-part";
// libarchive's safe writes put each entry under this prefix until it is renamed into place.
constexpr std::string_view UNPACKER_PREFIX = ".safewrite";

// Directory and base name of `path`.
std::pair<std::string, std::string> split_path(const char* path)
{
    std::string_view whole(path ? path : "");
    size_t slash = whole.rfind('/');
    if (slash == std::string_view::npos)
        return {".", std::string(whole)};
    return {slash == 0 ? "/" : std::string(whole.substr(0, slash)), std::string(whole.substr(slash + 1))};
}

UniqueFD open_directory(int at, const char* name)
{
    return UniqueFD(openat(at, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
}

bool is_partial_name(std::string_view name)
{
    bool ours = name.size() > PARTIAL_SUFFIX.size() + 1 && name[0] == '.' &&
                name.substr(name.size() - PARTIAL_SUFFIX.size()) == PARTIAL_SUFFIX;
    return ours || name.substr(0, UNPACKER_PREFIX.size()) == UNPACKER_PREFIX;
}

struct DirCloser {
    void operator()(DIR* dir) const { closedir(dir); }
};

int remove_partials_at(UniqueFD dir_fd, int depth)
{
    // The listing takes over its own descriptor; `dir_fd` stays for the removals.
    std::unique_ptr<DIR, DirCloser> listing(fdopendir(dup(dir_fd.get())));
    if (!listing)
        return 0;
    int removed = 0;
    while (dirent* entry = readdir(listing.get())) {
        std::string_view name(entry->d_name);
        if (name == "." || name == "..")
            continue;
        struct stat st;
        if (fstatat(dir_fd.get(), entry->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0)
            continue;
        if (S_ISDIR(st.st_mode)) {
            if (depth > 0)
                removed += remove_partials_at(open_directory(dir_fd.get(), entry->d_name), depth - 1);
        } else if (S_ISREG(st.st_mode) && is_partial_name(name) && unlinkat(dir_fd.get(), entry->d_name, 0) == 0) {
            removed++;
        }
    }
    return removed;
}

} // namespace

std::string partial_path(const char* path)
{
    auto [dir, name] = split_path(path);
    return dir + "/." + name + std::string(PARTIAL_SUFFIX);
}

int commit_partial(int fd, const std::string& partial, const char* path)
{
    auto [dir, name] = split_path(path);
    std::string partial_name = split_path(partial.c_str()).second;
    UniqueFD dir_fd = open_directory(AT_FDCWD, dir.c_str());
    // The content must be on the disk before the name points at it, and the name before anyone
    // is told it is there. FAT keeps a file's directory entry with the file, not the directory:
    // the renamed file is flushed again so that its entry at the new name is written.
    if (dir_fd.valid() && fsync(fd) == 0 &&
        renameat(dir_fd.get(), partial_name.c_str(), dir_fd.get(), name.c_str()) == 0 && fsync(fd) == 0 &&
        fsync(dir_fd.get()) == 0)
        return 0;
    printf("commit_partial: %s not stored: %s\n", path, strerror(errno));
    unlink(partial.c_str());
    return -1;
}

int write_file_durably(const char* path, const void* data, size_t size)
{
    std::string partial = partial_path(path);
    UniqueFD file(create_file_nofollow(partial.c_str()));
    if (!file.valid())
        return -1;
    const char* bytes = static_cast<const char*>(data);
    for (size_t done = 0; done < size;) {
        ssize_t written = write(file.get(), bytes + done, size - done);
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0) {
            unlink(partial.c_str());
            return -1;
        }
        done += static_cast<size_t>(written);
    }
    return commit_partial(file.get(), partial, path);
}

int remove_partial_files(const std::string& dir, int depth)
{
    UniqueFD dir_fd = open_directory(AT_FDCWD, dir.c_str());
    return dir_fd.valid() ? remove_partials_at(std::move(dir_fd), depth) : 0;
}
