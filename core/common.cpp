// Storage and shell utilities shared by the host link, the monitors and the factory build.
#include "core/common.h"

#include "core/board_root.h"
#include "core/unique_fd.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/time.h>

#include <cctype>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string_view>
#include <vector>

namespace {

char file_md5sum[256];
constexpr size_t MD5_HEX_LENGTH = 32;

struct PipeCloser {
    void operator()(FILE* pipe) const { pclose(pipe); }
};
struct DirCloser {
    void operator()(DIR* dir) const { closedir(dir); }
};
using Pipe = std::unique_ptr<FILE, PipeCloser>;
using Dir = std::unique_ptr<DIR, DirCloser>;

bool is_directory(const std::string& dir, const dirent* entry)
{
    if (entry->d_type == DT_DIR)
        return true;
    if (entry->d_type != DT_UNKNOWN)
        return false;
    // Some file systems do not report entry types: ask the inode.
    struct stat st;
    return stat((dir + "/" + entry->d_name).c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// The directory of `path`, opened without following a link; `name` points at the last component.
UniqueFD open_parent_nofollow(const char* path, const char** name)
{
    const char* slash = path ? strrchr(path, '/') : nullptr;
    if (!slash || slash[1] == '\0')
        return UniqueFD();
    *name = slash + 1;
    std::string dir = slash == path ? "/" : std::string(path, slash);
    return UniqueFD(open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
}

std::vector<std::string_view> split_lines(std::string_view text)
{
    std::vector<std::string_view> lines;
    while (!text.empty()) {
        size_t end = text.find('\n');
        lines.push_back(text.substr(0, end));
        if (end == std::string_view::npos)
            break;
        text.remove_prefix(end + 1);
    }
    return lines;
}

} // namespace

int exec_cmd(const char* cmd, char* out)
{
    if (!cmd)
        return -1;
    Pipe pipe(popen(cmd, "r"));
    if (!pipe)
        return -1;
    char buffer[EXEC_CMD_OUT_SIZE];
    size_t length = fread(buffer, 1, sizeof buffer - 1, pipe.get());
    if (length == 0)
        return -1;
    buffer[length] = '\0';
    if (out)
        memcpy(out, buffer, length + 1);
    return static_cast<int>(length);
}

char* get_file_md5sum(const char* path)
{
    memset(file_md5sum, 0, sizeof file_md5sum);
    std::string cmd = "md5sum " + shell_quote(path ? path : "");
    char output[EXEC_CMD_OUT_SIZE] = {};
    if (exec_cmd(cmd.c_str(), output) < 0)
        return nullptr;
    // md5sum marks a line whose file name it had to escape with a leading backslash.
    const char* sum = output[0] == '\\' ? output + 1 : output;
    if (strlen(sum) <= MD5_HEX_LENGTH)
        return nullptr;
    memcpy(file_md5sum, sum, MD5_HEX_LENGTH);
    str_tolower(file_md5sum);
    printf("%s: %s\n", __func__, file_md5sum);
    return file_md5sum;
}

long long get_disk_free_size(const char* path)
{
    std::string cmd = "df " + shell_quote(path);
    char output[EXEC_CMD_OUT_SIZE] = {};
    if (exec_cmd(cmd.c_str(), output) < 0)
        return -1;
    long long size = parse_disk_free_size(path, output);
    printf("%s: %s free %lld\n", __func__, path, size);
    return size;
}

long long parse_disk_free_size(const char* path, const char* text)
{
    if (!text)
        return 0;
    std::vector<std::string_view> lines = split_lines(text);
    for (size_t i = 0; i < lines.size(); i++) {
        if (lines[i].find(path) == std::string_view::npos)
            continue;
        std::string line(lines[i]);
        char filesystem[EXEC_CMD_OUT_SIZE];
        long long total = 0, used = 0, available = 0;
        // A device name too long for its column makes df wrap: the numbers then stand on an
        // indented line of their own under the name.
        bool wrapped = i > 0 && isspace(static_cast<unsigned char>(line[0]));
        int fields = wrapped ? 1 + sscanf(line.c_str(), "%lld %lld %lld", &total, &used, &available)
                             : sscanf(line.c_str(), "%4095s %lld %lld %lld", filesystem, &total, &used, &available);
        if (fields == 4)
            return available;
        printf("%s line=%d\n", __func__, static_cast<int>(i + 1));
        return -1;
    }
    printf("%s line=%d\n", __func__, 0);
    return -1;
}

int for_each_subdirectory(const std::string& dir, const std::function<bool(const std::string&)>& visit)
{
    Dir handle(opendir(dir.c_str()));
    if (!handle)
        return -1;
    while (const dirent* entry = readdir(handle.get())) {
        if (strcmp(entry->d_name, ".") == 0 || strcmp(entry->d_name, "..") == 0)
            continue;
        if (is_directory(dir, entry) && visit(dir + "/" + entry->d_name))
            return 1;
    }
    return 0;
}

long long find_available_disk(char* out)
{
    long long size = -1;
    for_each_subdirectory(board_path("/media"), [&](const std::string& disk) {
        // A path that would not fit the callers' buffers cannot be used as a target.
        if (disk.size() >= PATH_BUF_SIZE)
            return false;
        size = get_disk_free_size(disk.c_str());
        printf("%s: %lld\n", __func__, size);
        if (size < 1)
            return false;
        if (out)
            snprintf(out, PATH_BUF_SIZE, "%s", disk.c_str());
        printf("%s: %s\n", __func__, disk.c_str());
        return true;
    });
    return size;
}

int file_exist(const char* path)
{
    struct stat st;
    return path && stat(path, &st) == 0 ? 1 : 0;
}

int is_real_directory(const char* path)
{
    struct stat st;
    return path && lstat(path, &st) == 0 && S_ISDIR(st.st_mode) ? 1 : 0;
}

int create_file_nofollow(const char* path)
{
    const char* name = nullptr;
    UniqueFD dir = open_parent_nofollow(path, &name);
    if (!dir.valid())
        return -1;
    // Removing first means a planted link is replaced, not written through; a directory of that
    // name stays and the exclusive create below then fails.
    unlinkat(dir.get(), name, 0);
    return openat(dir.get(), name, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
}

namespace {

// `fd` as a stream with `mode`; the stream owns it, or it is closed. Null on failure.
FILE* stream_of(int fd, const char* mode)
{
    UniqueFD owned(fd);
    FILE* stream = owned.valid() ? fdopen(owned.get(), mode) : nullptr;
    if (stream)
        owned.release();
    return stream;
}

} // namespace

FILE* create_stream_nofollow(const char* path, const char* mode)
{
    return stream_of(create_file_nofollow(path), mode);
}

FILE* open_stream_nofollow(const char* path)
{
    return stream_of(open_file_nofollow(path), "rb");
}

int open_file_nofollow(const char* path)
{
    const char* name = nullptr;
    UniqueFD dir = open_parent_nofollow(path, &name);
    return dir.valid() ? openat(dir.get(), name, O_RDONLY | O_NOFOLLOW | O_CLOEXEC) : -1;
}

long long file_size(const char* path)
{
    struct stat st;
    return path && stat(path, &st) == 0 ? static_cast<long long>(st.st_size) : -1;
}

void print_time(const char* tag)
{
    timeval now;
    gettimeofday(&now, nullptr);
    long long ms = static_cast<long long>(now.tv_sec) * 1000 + now.tv_usec / 1000;
    printf("%s----------------------------------------------------------->%lld\n", tag, ms);
}

void str_tolower(char* s)
{
    for (; *s; s++)
        *s = static_cast<char>(tolower(static_cast<unsigned char>(*s)));
}

char* replace_n(char* s)
{
    for (char* p = s; p[0] && p[1]; p++) {
        if (p[0] == '\\' && p[1] == 'n') {
            p[0] = '\r';
            p[1] = '\n';
            p++;
        }
    }
    return s;
}

void remove_char(char* s, char c)
{
    char* out = s;
    for (const char* in = s; *in; in++) {
        if (*in != c)
            *out++ = *in;
    }
    *out = '\0';
}

void replace_str_n(char* s)
{
    replace_n(s);
    remove_char(s, '\r');
}

int get_system_version(char* out, size_t size)
{
    std::string cmd = "cat " + shell_quote(board_path("/emulator/version"));
    char output[EXEC_CMD_OUT_SIZE];
    if (exec_cmd(cmd.c_str(), output) < 0)
        return -1;
    if (out && size > 0)
        snprintf(out, size, "%s", output);
    return 0;
}
