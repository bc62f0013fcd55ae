// `tavimoro-host setup` on Windows: finds RetroBat, installs the marquee hooks in the event
// folders of its EmulationStation and the MAME plugin beside its MAME, keeps a record of what it
// added so that --remove takes exactly that back, and names a test game to the board.
#include "host/link/host_setup.h"

#include "host/link/host_system.h"

#include <windows.h>
#include <tlhelp32.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

namespace {

// RetroBat's EmulationStation runs every .exe, .cmd, .bat, .ps1, .sh and .py file of
// scripts\EVENT\ in its user folder with the event's arguments, and does not wait for the
// asynchronous events' scripts. Its user folder is the .emulationstation beside
// emulationstation.exe when that holds es_systems.cfg, which is RetroBat's layout:
// RETROBAT\emulationstation\.emulationstation (RetroBat-Official/emulationstation,
// es-core/src/Scripting.cpp fireEvent and executeScript, Paths.cpp getHomePath).
constexpr const char* USER_FOLDER = "emulationstation\\.emulationstation";
constexpr const char* MARKER = "emulationstation\\.emulationstation\\es_systems.cfg";
constexpr const char* HOOK_NAME = "tavimoro.cmd";
// The record of what setup added. Its paths are taken from the RetroBat folder, which is portable
// and may come back under another drive letter.
constexpr const char* STATE_FOLDER = "emulationstation\\.emulationstation\\tavimoro";
constexpr const char* MANIFEST_NAME = "setup-installed";
// How a hook's line that calls the program starts: setup writes the program's full path there.
constexpr const char* PROGRAM_CALL = "\ntavimoro-host.exe ";

// RetroBat starts MAME in emulators\mame with -inipath bios\mame\ini and no -pluginspath: MAME
// takes its plugins from emulators\mame\plugins and plugin.ini from bios\mame\ini, of which
// RetroBat rewrites only its own lines (RetroBat-Official/emulatorlauncher,
// Generators/Mame64.Generator.cs).
constexpr const char* MAME_PROGRAM = "emulators\\mame\\mame.exe";
constexpr const char* MAME_PLUGIN_FOLDER = "emulators\\mame\\plugins\\tavimoro";
constexpr const char* PLUGIN_INI = "bios\\mame\\ini\\plugin.ini";
constexpr const char* PLUGIN_ON = "tavimoro                  1";
// The plugin calls tavimoro-host.exe on the PATH, which RetroBat does not extend: the installed
// copy calls the program by its full path, quoted by the plugin's own cmd_quote.
constexpr const char* PLUGIN_PROGRAM = "\"tavimoro-host.exe\"";

struct embedded_file {
    const char* name;
    const char* text;
};

// host/link/frontends/windows/retrobat and plugins/tavimoro, built into the program
// (host/CMakeLists.txt).
const embedded_file RETROBAT_HOOKS[] = {
#include "retrobat_hooks.inc"
};
const embedded_file MAME_PLUGIN[] = {
#include "mame_plugin.inc"
};

struct handle_closer {
    void operator()(HANDLE handle) const { CloseHandle(handle); }
};
using unique_handle = std::unique_ptr<void, handle_closer>;

std::string windows_error()
{
    return " (Windows error " + std::to_string(GetLastError()) + ")";
}

DWORD attributes(const std::string& path)
{
    return GetFileAttributesA(path.c_str());
}

bool is_folder(const std::string& path)
{
    DWORD found = attributes(path);
    return found != INVALID_FILE_ATTRIBUTES && (found & FILE_ATTRIBUTE_DIRECTORY);
}

bool is_retrobat(const std::string& dir)
{
    return !dir.empty() && attributes(dir + "\\" + MARKER) != INVALID_FILE_ATTRIBUTES;
}

// The folder that holds `path`; "" for a drive or a bare name.
std::string parent_of(const std::string& path)
{
    size_t slash = path.find_last_of("\\/");
    return slash == std::string::npos ? "" : path.substr(0, slash);
}

// The longest path Windows has.
constexpr DWORD LONGEST_PATH = 32767;

std::string full_path(const std::string& path)
{
    std::string full(LONGEST_PATH, '\0');
    DWORD size = GetFullPathNameA(path.c_str(), full.size(), full.data(), nullptr);
    full.resize(size < full.size() ? size : 0);
    while (full.size() > 3 && (full.back() == '\\' || full.back() == '/'))
        full.pop_back();
    return full;
}

// `text` in the code page `page`; "" when a character of it has no place there.
std::string narrow(const std::wstring& text, UINT page)
{
    BOOL lossy = FALSE;
    int size = WideCharToMultiByte(page, WC_NO_BEST_FIT_CHARS, text.data(), text.size(), nullptr, 0, nullptr, &lossy);
    std::string out(size, '\0');
    WideCharToMultiByte(page, WC_NO_BEST_FIT_CHARS, text.data(), text.size(), out.data(), size, nullptr, &lossy);
    return lossy ? "" : out;
}

std::wstring program_path()
{
    std::wstring path(MAX_PATH, L'\0');
    DWORD size;
    while ((size = GetModuleFileNameW(nullptr, path.data(), path.size())) == path.size())
        path.resize(path.size() * 2);
    path.resize(size);
    return path;
}

std::optional<std::string> read_text(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return std::nullopt;
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// A hook as it is installed: the program called by its full path, written out with '%' doubled as
// a batch file needs (a variable would do on Windows, but Wine's cmd drops a '%' from the value
// it expands); and Windows line ends, which every cmd.exe reads.
std::string installed_text(std::string text, const std::string& program)
{
    std::string call = "\n\"";
    for (char c : program)
        call += c == '%' ? std::string("%%") : std::string(1, c);
    call += "\" ";
    for (size_t at = text.find(PROGRAM_CALL); at != std::string::npos; at = text.find(PROGRAM_CALL, at + call.size()))
        text.replace(at, strlen(PROGRAM_CALL), call);
    std::string lines;
    for (char c : text) {
        if (c == '\n' && (lines.empty() || lines.back() != '\r'))
            lines += '\r';
        lines += c;
    }
    return lines;
}

// The RetroBat folder of a running EmulationStation, whose program is
// RETROBAT\emulationstation\emulationstation.exe.
std::string running_retrobat()
{
    HANDLE taken = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    unique_handle snapshot(taken == INVALID_HANDLE_VALUE ? nullptr : taken);
    if (!snapshot)
        return "";
    PROCESSENTRY32W process{};
    process.dwSize = sizeof process;
    for (BOOL more = Process32FirstW(snapshot.get(), &process); more; more = Process32NextW(snapshot.get(), &process)) {
        unique_handle running(_wcsicmp(process.szExeFile, L"emulationstation.exe") == 0
                                  ? OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, process.th32ProcessID)
                                  : nullptr);
        wchar_t image[MAX_PATH];
        DWORD size = MAX_PATH;
        if (running && QueryFullProcessImageNameW(running.get(), 0, image, &size))
            return parent_of(parent_of(narrow(std::wstring(image, size), CP_ACP)));
    }
    return "";
}

// The usual places, in order: the folder of a running RetroBat, the folders around this program
// (unpacked inside RetroBat's), and RetroBat at the top of each local drive.
std::string find_retrobat()
{
    std::vector<std::string> places{running_retrobat()};
    for (std::string dir = parent_of(narrow(program_path(), CP_ACP)); !dir.empty(); dir = parent_of(dir))
        places.push_back(dir);
    DWORD drives = GetLogicalDrives();
    for (char letter = 'A'; letter <= 'Z'; letter++) {
        std::string drive = std::string(1, letter) + ":\\";
        UINT type = (drives >> (letter - 'A')) & 1 ? GetDriveTypeA(drive.c_str()) : DRIVE_NO_ROOT_DIR;
        if (type == DRIVE_FIXED || type == DRIVE_REMOVABLE)
            places.push_back(drive + "RetroBat");
    }
    auto found = std::find_if(places.begin(), places.end(), is_retrobat);
    return found == places.end() ? "" : full_path(*found);
}

// One thing setup added, as its record keeps it: "dir PATH", "file PATH" or "line PATH" (the
// plugin's line of plugin.ini), PATH taken from the RetroBat folder.
struct entry {
    std::string kind, path;
};

class setup_run {
public:
    setup_run(const setup_request& request, std::string root) : request_(request), root_(std::move(root)) {}

    int install();
    int remove();

private:
    const setup_request& request_;
    std::string root_;
    std::vector<entry> record_;
    bool recorded_more_ = false;
    int failures_ = 0;

    std::string real(const std::string& path) const { return root_ + "\\" + path; }
    std::string manifest() const { return std::string(STATE_FOLDER) + "\\" + MANIFEST_NAME; }

    // Says what a step does, or would do in a dry run; true when it is to be done.
    bool step(const std::string& text) const
    {
        say("%s%s\n", request_.dry_run ? "would " : "", text.c_str());
        return !request_.dry_run;
    }
    int failed(const std::string& text)
    {
        failures_++;
        fail(EXIT_REFUSED, "%s", text.c_str());
        return -1;
    }
    void add_record(const std::string& kind, const std::string& path)
    {
        record_.push_back({kind, path});
        recorded_more_ = true;
    }
    bool recorded(const std::string& kind, const std::string& path) const
    {
        return std::any_of(record_.begin(), record_.end(),
                           [&](const entry& e) { return e.kind == kind && e.path == path; });
    }

    void read_record();
    int write_record();
    int make_dirs(const std::string& dir);
    int put_file(const std::string& path, const std::string& text);
    int install_mame_plugin(const std::string& program);
    int undo(const entry& e);
    void test_board() const;
};

void setup_run::read_record()
{
    std::istringstream lines(read_text(real(manifest())).value_or(""));
    for (std::string line; std::getline(lines, line);)
        if (size_t space = line.find(' '); space != std::string::npos)
            record_.push_back({line.substr(0, space), line.substr(space + 1)});
}

int setup_run::write_record()
{
    if (!recorded_more_ || request_.dry_run)
        return 0;
    // The record's own folder goes into the record too.
    if (make_dirs(STATE_FOLDER) != 0)
        return -1;
    std::string text;
    for (const entry& e : record_)
        text += e.kind + " " + e.path + "\n";
    if (!replace_small_file(real(manifest()), text))
        return failed("cannot keep the record of what setup added in " + real(manifest()) + windows_error());
    return 0;
}

int setup_run::make_dirs(const std::string& dir)
{
    std::string path;
    std::istringstream parts(dir);
    for (std::string part; std::getline(parts, part, '\\');) {
        path += (path.empty() ? "" : "\\") + part;
        if (is_folder(real(path)) || !step("make the folder " + real(path)))
            continue;
        if (!CreateDirectoryA(real(path).c_str(), nullptr))
            return failed("cannot make the folder " + real(path) + windows_error());
        add_record("dir", path);
    }
    return 0;
}

// A file of ours: written whole when missing or when ours is out of date; one of the owner's is
// left as it is.
int setup_run::put_file(const std::string& path, const std::string& text)
{
    std::optional<std::string> there = read_text(real(path));
    if (there == text)
        return 0;
    if (there && !recorded("file", path))
        return failed(real(path) + " is there already and is not setup's: left as it is");
    if (make_dirs(parent_of(path)) != 0)
        return -1;
    if (!step((there ? "update " : "install ") + real(path)))
        return 0;
    if (!replace_small_file(real(path), text))
        return failed("cannot write " + real(path) + windows_error());
    if (!there)
        add_record("file", path);
    return 0;
}

// plugin.ini's lines but the plugin's.
std::string without_plugin_line(const std::string& ini)
{
    std::istringstream lines(ini);
    std::string kept;
    for (std::string line; std::getline(lines, line);)
        if (line != PLUGIN_ON && line != std::string(PLUGIN_ON) + "\r")
            kept += line + "\n";
    return kept;
}

int setup_run::install_mame_plugin(const std::string& program)
{
    if (attributes(real(MAME_PROGRAM)) == INVALID_FILE_ATTRIBUTES) {
        say("no MAME plugin: RetroBat has no %s yet (it fetches MAME for the first arcade game); run setup "
            "again then\n", real(MAME_PROGRAM).c_str());
        return 0;
    }
    for (const embedded_file& file : MAME_PLUGIN) {
        std::string text = file.text;
        if (size_t at = text.find(PLUGIN_PROGRAM); at != std::string::npos)
            text.replace(at, strlen(PLUGIN_PROGRAM), "cmd_quote([==[" + program + "]==])");
        put_file(std::string(MAME_PLUGIN_FOLDER) + "\\" + file.name, text);
    }
    std::string ini = read_text(real(PLUGIN_INI)).value_or("");
    if (without_plugin_line(ini).size() < ini.size() || make_dirs(parent_of(PLUGIN_INI)) != 0 ||
        !step("turn the MAME plugin on in " + real(PLUGIN_INI)))
        return 0;
    if (!ini.empty() && ini.back() != '\n')
        ini += "\r\n";
    if (!replace_small_file(real(PLUGIN_INI), ini + PLUGIN_ON + "\r\n"))
        return failed("cannot write " + real(PLUGIN_INI) + windows_error());
    add_record("line", PLUGIN_INI);
    return 0;
}

// The board is plugged into this computer, whichever RetroBat folder was named.
void setup_run::test_board() const
{
    if (step("name a test game to the board"))
        name_test_game(request_, "; the next game selected replaces it");
}

int setup_run::install()
{
    // A program run straight from the zip is in a temporary folder, which goes away.
    wchar_t temp[MAX_PATH + 1];
    DWORD temp_length = GetTempPathW(MAX_PATH + 1, temp);
    if (temp_length > 0 && _wcsnicmp(program_path().c_str(), temp, temp_length) == 0)
        return fail(EXIT_USAGE, "tavimoro-host.exe runs from the temporary folder (straight from the zip?): unzip "
                                "it, into the RetroBat folder for example, and run setup from there");
    read_record();
    say("frontend: RetroBat (EmulationStation event scripts) in %s\n", root_.c_str());
    // cmd.exe reads a batch file in the console's code page.
    std::string program = narrow(program_path(), CP_OEMCP);
    if (program.empty())
        return fail(EXIT_REFUSED, "the path of tavimoro-host.exe has a character that a batch file cannot hold: "
                                  "unpack it into a folder with a plainer name and run setup again");
    say("the hooks call %s\n", program.c_str());
    for (const embedded_file& hook : RETROBAT_HOOKS) {
        std::string event = std::string(hook.name).substr(0, strlen(hook.name) - strlen(".cmd"));
        put_file(std::string(USER_FOLDER) + "\\scripts\\" + event + "\\" + HOOK_NAME, installed_text(hook.text, program));
    }
    // Lua hands the command line to cmd.exe as it is, in the system's code page.
    install_mame_plugin(narrow(program_path(), CP_ACP));
    write_record();
    test_board();
    return failures_ ? EXIT_REFUSED : 0;
}

int setup_run::undo(const entry& e)
{
    std::string at = real(e.path);
    if (e.kind == "file" && step("remove " + at) && !DeleteFileA(at.c_str()) && GetLastError() != ERROR_FILE_NOT_FOUND &&
        GetLastError() != ERROR_PATH_NOT_FOUND)
        return failed("cannot remove " + at + windows_error());
    if (e.kind == "line" && step("turn the MAME plugin off in " + at)) {
        std::string ini = without_plugin_line(read_text(at).value_or(""));
        bool emptied = ini.find_first_not_of("\r\n \t") == std::string::npos;
        // A plugin.ini that held only our line goes.
        if (emptied ? !DeleteFileA(at.c_str()) && GetLastError() != ERROR_FILE_NOT_FOUND : !replace_small_file(at, ini))
            return failed("cannot change " + at + windows_error());
    }
    // A folder setup made goes only when nothing else was put in it since.
    if (e.kind == "dir" && step("remove the folder " + at + " when empty") && !RemoveDirectoryA(at.c_str()) &&
        GetLastError() == ERROR_DIR_NOT_EMPTY)
        say("%s stays: it holds files of others\n", at.c_str());
    return 0;
}

int setup_run::remove()
{
    read_record();
    if (record_.empty()) {
        say("setup added nothing here (no record at %s)\n", real(manifest()).c_str());
        return 0;
    }
    // Folders last, once the files in them and the record are gone.
    for (auto e = record_.rbegin(); e != record_.rend(); ++e)
        if (e->kind != "dir")
            undo(*e);
    if (step("remove the record " + real(manifest())) && !DeleteFileA(real(manifest()).c_str()))
        failed("cannot remove " + real(manifest()) + windows_error());
    for (auto e = record_.rbegin(); e != record_.rend(); ++e)
        if (e->kind == "dir")
            undo(*e);
    return failures_ ? EXIT_REFUSED : 0;
}

} // namespace

int run_setup(const setup_request& request)
{
    std::string root = request.root.empty() ? find_retrobat() : full_path(request.root);
    if (root.empty())
        return fail(EXIT_USAGE, "no RetroBat found (none running, none around tavimoro-host.exe, no RetroBat folder at "
                                "the top of a drive): name its folder with --root DIR");
    if (!is_folder(root))
        return fail(EXIT_USAGE, "--root %s is not a folder", request.root.c_str());
    if (!is_retrobat(root))
        return fail(EXIT_USAGE, "%s is no RetroBat folder: it has no %s", root.c_str(), MARKER);
    setup_run run(request, root);
    return request.remove ? run.remove() : run.install();
}
