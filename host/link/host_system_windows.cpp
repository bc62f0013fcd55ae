// The host system's parts on Windows: the user's local application data, state files locked with
// LockFileEx, the program started again to go on in the background, and no picture module.
#include "host/link/host_system.h"
#include "host/link/service_socket.h"

#include <windows.h>

#include <cstdlib>
#include <filesystem>
#include <string>

struct state_file {
    HANDLE file = INVALID_HANDLE_VALUE;
    ~state_file()
    {
        if (file != INVALID_HANDLE_VALUE)
            CloseHandle(file);
    }
};

void close_state_file(state_file* file)
{
    delete file;
}

namespace {

// Windows locks are mandatory: the lock is taken on a byte far past the data, so that it orders
// the processes without ever barring a read of the data itself.
constexpr DWORD LOCK_OFFSET = 0x7fffffff;

OVERLAPPED at(DWORD offset)
{
    OVERLAPPED where{};
    where.Offset = offset;
    return where;
}

} // namespace

std::string user_state_dir()
{
    const char* local = getenv("LOCALAPPDATA");
    if (!local || !*local)
        return "";
    // Tests run in a Wine prefix of their own, which stands for the host root here.
    std::string dir = std::string(local) + "\\tavimoro";
    std::error_code error;
    std::filesystem::create_directories(dir, error);
    return error ? "" : dir;
}

state_handle open_state_file(const std::string& path)
{
    state_handle file(new state_file);
    file->file = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                             OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    return file->file == INVALID_HANDLE_VALUE ? nullptr : std::move(file);
}

bool lock_state_file(state_file& file)
{
    OVERLAPPED where = at(LOCK_OFFSET);
    return LockFileEx(file.file, LOCKFILE_EXCLUSIVE_LOCK, 0, 1, 0, &where) != 0;
}

void unlock_state_file(state_file& file)
{
    OVERLAPPED where = at(LOCK_OFFSET);
    UnlockFileEx(file.file, 0, 1, 0, &where);
}

bool read_state_file(state_file& file, void* data, size_t size)
{
    OVERLAPPED where = at(0);
    DWORD done = 0;
    return ReadFile(file.file, data, static_cast<DWORD>(size), &done, &where) && done == size;
}

bool write_state_file(state_file& file, const void* data, size_t size)
{
    OVERLAPPED where = at(0);
    DWORD done = 0;
    return WriteFile(file.file, data, static_cast<DWORD>(size), &done, &where) && done == size;
}

bool replace_small_file(const std::string& path, const std::string& text)
{
    std::string partial = path + "." + std::to_string(GetCurrentProcessId());
    HANDLE file = CreateFileA(partial.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    DWORD done = 0;
    bool written = WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &done, nullptr) && done == text.size();
    CloseHandle(file);
    if (written && MoveFileExA(partial.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING))
        return true;
    DeleteFileA(partial.c_str());
    return false;
}

// The same command line, with the place this process took, in a process with no console of its
// own; this one then ends.
void continue_in_background(unsigned long long place)
{
    std::wstring line = GetCommandLineW();
    size_t end = line.empty() ? 0 : line[0] == L'"' ? line.find(L'"', 1) : line.find(L' ');
    end = end == std::wstring::npos ? line.size() : end + (line[0] == L'"' ? 1 : 0);
    line.insert(end, L" --event-place " + std::to_wstring(place));
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION started{};
    if (!CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, DETACHED_PROCESS | CREATE_NEW_PROCESS_GROUP,
                        nullptr, nullptr, &startup, &started)) {
        fprintf(stderr, "tavimoro-host: cannot go to the background (error %lu): sending now\n", GetLastError());
        return;
    }
    CloseHandle(started.hThread);
    CloseHandle(started.hProcess);
    ExitProcess(0);
}

fit_picture_function load_picture_fitter(std::string& why)
{
    why = "the Windows build has no picture module";
    return nullptr;
}

// The service, with udev, MQTT and its HTTP API, is Linux's; here every command talks to the
// board itself.
int run_service(char**)
{
    return fail(EXIT_USAGE, "the host service runs on Linux only");
}

int hand_to_service(const std::string&, const options&, bool& handed)
{
    handed = false;
    return 0;
}
