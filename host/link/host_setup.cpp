// `tavimoro-host setup`: finds the frontend from its files, installs its hooks where it runs them,
// the udev rule and the tavimoro group, keeps a record of what it added so that --remove takes
// exactly that back, and names a test game to the board.
#include "host/link/host_setup.h"

#include "core/durable_file.h"
#include "hostlink/crc32.h"

#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

constexpr const char* GROUP = "tavimoro";
constexpr const char* RULE_NAME = "70-tavimoro.rules";
constexpr const char* MANIFEST_NAME = "setup-installed";
// Ends the line setup adds to a script of the owner's, so that the owner (and --remove) sees it.
constexpr const char* CHAIN_MARK = "  # added by tavimoro-host setup; 'tavimoro-host setup --remove' takes it out";
constexpr mode_t HOOK_MODE = 0755;
constexpr mode_t RULE_MODE = 0644;
// Where udev reads rules that a package installs: a copy there is the package's, and stays.
const char* const PACKAGE_RULE_DIRS[] = {"/usr/lib/udev/rules.d", "/lib/udev/rules.d"};
constexpr const char* TEST_MESSAGE = R"({"title":"Tavimoro is connected"})";

struct hook {
    std::string source;  // in the hooks folder
    std::string target;  // where the frontend runs it
    bool chains = false; // a script the owner may have already: ours is called from it
};

// A frontend as setup finds it; every path is a path of the frontend's system (under the root).
struct frontend {
    std::string name;
    std::vector<hook> hooks;
    std::string rule_dir;   // where a udev rule of ours persists on that system
    std::string state_dir;  // the record of what setup added, and hooks that scripts of the owner's call
    std::string user;       // who runs the frontend and its hooks; empty when it runs as root
    std::string note;       // why the group or the rule is not needed there
};

// --- what the frontends' own documentation and sources say ---

// Batocera: EmulationStation runs every script of /userdata/system/configs/emulationstation/scripts/
// EVENT/ (batocera-emulationstation, es-core/src/Paths.cpp and Scripting.cpp; wiki.batocera.org/
// launch_a_script), as root (batocera.linux, board/batocera/fsoverlay/etc/init.d/S31emulationstation).
// Its root is rebuilt at every upgrade; udev rules persist in /userdata/system/udev/rules.d
// (wiki.batocera.org/udev_rules).
frontend batocera()
{
    const std::string scripts = "/userdata/system/configs/emulationstation/scripts/";
    frontend f{"Batocera (EmulationStation event scripts)", {}, "/userdata/system/udev/rules.d",
               "/userdata/system/tavimoro", "", "EmulationStation runs its scripts as root"};
    for (const char* event : {"game-start", "game-end", "game-selected"})
        f.hooks.push_back({std::string("emulationstation/") + event + ".sh", scripts + event + "/tavimoro.sh"});
    return f;
}

// Recalbox runs /recalbox/share/userscripts/NAME[EVENTS].sh for the events in brackets
// (wiki.recalbox.com/en/advanced-usage/scripts-on-emulationstation-events), as root; its share
// partition keeps the record.
frontend recalbox()
{
    const std::string name = "tavimoro[rungame,endgame,gamelistbrowsing].sh";
    return {"Recalbox (user scripts)", {{"recalbox/" + name, "/recalbox/share/userscripts/" + name}}, "/etc/udev/rules.d",
            "/recalbox/share/system/tavimoro", "", "EmulationStation runs its scripts as root"};
}

// RetroPie: runcommand runs `bash /opt/retropie/configs/all/runcommand-onstart.sh SYSTEM EMULATOR
// ROM COMMAND` before each game and runcommand-onend.sh after it (RetroPie-Setup,
// scriptmodules/supplementary/runcommand/runcommand.sh, user_script), as the user RetroPie was
// installed for (pi by default), whose EmulationStation lives in ~/.emulationstation. runcommand
// starts every game whatever the frontend, so EmulationStation's own event scripts are not added
// as well: each game would be named twice.
frontend retropie(const std::string& user)
{
    const std::string all = "/opt/retropie/configs/all/";
    return {"RetroPie (runcommand)",
            {{"retropie/runcommand-onstart.sh", all + "runcommand-onstart.sh", true},
             {"retropie/runcommand-onend.sh", all + "runcommand-onend.sh", true}},
            "/etc/udev/rules.d", all + "tavimoro", user, ""};
}

// ES-DE runs every file of ~/ES-DE/scripts/EVENT/ once "Enable custom event scripts" is on
// (ES-DE INSTALL.md, "Custom event scripts"; es-core/src/Scripting.cpp), as the desktop user.
frontend esde(const std::string& user)
{
    const std::string home = "/home/" + user + "/ES-DE/";
    return {"ES-DE (custom event scripts)",
            {{"es-de/game-start.sh", home + "scripts/game-start/tavimoro.sh"},
             {"es-de/game-end.sh", home + "scripts/game-end/tavimoro.sh"}},
            "/etc/udev/rules.d", home + "tavimoro", user, ""};
}

frontend no_frontend()
{
    return {"", {}, "/etc/udev/rules.d", "/var/lib/tavimoro", "",
            "the rule gives the board to the user logged in at the seat"};
}

// --- the program's own files ---

fs::path program_dir()
{
    std::error_code error;
    return fs::read_symlink("/proc/self/exe", error).parent_path();
}

// Installed: the share folder beside the program; in the build tree: the source tree's.
std::string installed_or_source(const char* from_bin, const char* source)
{
    std::error_code error;
    fs::path installed = program_dir() / from_bin;
    return fs::exists(installed, error) ? installed.lexically_normal().string() : source;
}

std::string hooks_folder()
{
    return installed_or_source(TAVIMORO_FRONTENDS_FROM_BIN, TAVIMORO_SOURCE_FRONTENDS);
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

std::vector<std::string> lines_of(const std::string& text)
{
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

// The system's own tools, found where a root's PATH has them even when the caller's does not.
std::string find_tool(const char* name)
{
    std::string path = getenv("PATH") ? getenv("PATH") : "";
    std::istringstream dirs(path + ":/usr/sbin:/sbin:/usr/bin:/bin");
    for (std::string dir; std::getline(dirs, dir, ':');)
        if (!dir.empty() && access((dir + "/" + name).c_str(), X_OK) == 0)
            return dir + "/" + name;
    return "";
}

int run_tool(const std::vector<std::string>& args)
{
    std::vector<char*> argv;
    for (const std::string& arg : args)
        argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    pid_t child = fork();
    if (child == 0) {
        execv(argv[0], argv.data());
        _exit(127);
    }
    int status = 0;
    while (child > 0 && waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    return child > 0 && WIFEXITED(status) && WEXITSTATUS(status) == 0 ? 0 : -1;
}

// One thing setup added, as its record keeps it: "dir PATH", "file PATH", "line PATH\tTEXT",
// "group NAME" or "member USER".
struct entry {
    std::string kind, path, text;
};

class setup_run {
public:
    setup_run(const setup_request& request, frontend f) : request_(request), f_(std::move(f)) {}

    int install();
    int remove();

private:
    const setup_request& request_;
    frontend f_;
    std::vector<entry> record_;
    bool recorded_more_ = false;
    int failures_ = 0;

    std::string real(const std::string& path) const { return request_.root + path; }
    std::string manifest() const { return f_.state_dir + "/" + MANIFEST_NAME; }

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
    void add_record(const std::string& kind, const std::string& path, const std::string& text = "")
    {
        record_.push_back({kind, path, text});
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
    int take_owner(const std::string& path);
    int write_whole(const std::string& path, const std::string& text, mode_t mode);
    int put_file(const std::string& path, const std::string& text, mode_t mode);
    int chain(const hook& h, const std::string& text);
    std::string program_folder_there() const;
    int install_hooks();
    int install_rule();
    int join_group();
    int edit_group(const std::string& kind, const std::string& user, bool add);
    int undo(const entry& e);
    void test_board() const;
};

void setup_run::read_record()
{
    for (const std::string& line : lines_of(read_text(real(manifest())).value_or(""))) {
        size_t space = line.find(' '), tab = line.find('\t');
        if (space == std::string::npos)
            continue;
        std::string path = line.substr(space + 1, tab == std::string::npos ? std::string::npos : tab - space - 1);
        record_.push_back({line.substr(0, space), path, tab == std::string::npos ? "" : line.substr(tab + 1)});
    }
}

int setup_run::write_record()
{
    if (!recorded_more_ || request_.dry_run)
        return 0;
    // The record's own folder goes into the record too.
    if (make_dirs(f_.state_dir) != 0)
        return -1;
    std::string text;
    for (const entry& e : record_)
        text += e.kind + " " + e.path + (e.text.empty() ? "" : "\t" + e.text) + "\n";
    if (write_file_durably(real(manifest()).c_str(), text.data(), text.size()) != 0)
        return failed("cannot keep the record of what setup added in " + real(manifest()) + ": " + strerror(errno));
    return 0;
}

// New files and folders take the owner of the folder they are made in: the frontend's user keeps
// using its own folders.
int setup_run::take_owner(const std::string& path)
{
    struct stat parent;
    std::string at = real(path);
    if (stat(fs::path(at).parent_path().c_str(), &parent) != 0 || lchown(at.c_str(), parent.st_uid, parent.st_gid) != 0)
        return failed("cannot give " + at + " the owner of its folder: " + strerror(errno));
    return 0;
}

int setup_run::make_dirs(const std::string& dir)
{
    std::string path;
    for (const fs::path& part : fs::path(dir).relative_path()) {
        path += "/" + part.string();
        std::error_code error;
        if (fs::is_directory(real(path), error) || !step("make the folder " + real(path)))
            continue;
        if (mkdir(real(path).c_str(), 0755) != 0)
            return failed("cannot make the folder " + real(path) + ": " + strerror(errno));
        add_record("dir", path);
        if (take_owner(path) != 0)
            return -1;
    }
    return 0;
}

// Replaces the whole content of `path` at once, keeping its owner when it had one.
int setup_run::write_whole(const std::string& path, const std::string& text, mode_t mode)
{
    struct stat old;
    bool existed = lstat(real(path).c_str(), &old) == 0;
    if (write_file_durably(real(path).c_str(), text.data(), text.size()) != 0 || chmod(real(path).c_str(), mode) != 0)
        return failed("cannot write " + real(path) + ": " + strerror(errno));
    if (existed && lchown(real(path).c_str(), old.st_uid, old.st_gid) != 0)
        return failed("cannot keep the owner of " + real(path) + ": " + strerror(errno));
    return existed ? 0 : take_owner(path);
}

// A file of ours: written when missing or when ours is out of date; one of the owner's is left
// as it is.
int setup_run::put_file(const std::string& path, const std::string& text, mode_t mode)
{
    struct stat st;
    bool exists = lstat(real(path).c_str(), &st) == 0;
    if (exists && read_text(real(path)) == text && (st.st_mode & 07777) == mode)
        return 0;
    if (exists && !recorded("file", path))
        return failed(real(path) + " is there already and is not setup's: left as it is");
    if (make_dirs(fs::path(path).parent_path().string()) != 0)
        return -1;
    if (!step((exists ? "update " : "install ") + real(path)))
        return 0;
    if (write_whole(path, text, mode) != 0)
        return -1;
    if (!exists)
        add_record("file", path);
    return 0;
}

// Where a line goes into a script: after its first line when that names its interpreter.
size_t after_interpreter(const std::string& script)
{
    size_t end = script.find('\n');
    return script.rfind("#!", 0) == 0 && end != std::string::npos ? end + 1 : 0;
}

// A script of the owner's where ours goes: ours goes into the state folder, and one marked line
// that calls it goes into theirs.
int setup_run::chain(const hook& h, const std::string& text)
{
    std::string ours = f_.state_dir + "/" + fs::path(h.target).filename().string();
    if (put_file(ours, text, HOOK_MODE) != 0)
        return -1;
    std::string line = "sh \"" + ours + "\" \"$@\"" + CHAIN_MARK;
    std::string script = read_text(real(h.target)).value_or("");
    if (script.find(line + "\n") != std::string::npos || !step("add a line that calls " + ours + " to " + real(h.target)))
        return 0;
    struct stat st;
    if (stat(real(h.target).c_str(), &st) != 0 || write_whole(h.target, script.insert(after_interpreter(script), line + "\n"), st.st_mode & 07777) != 0)
        return failed("cannot add a line to " + real(h.target));
    add_record("line", h.target, line);
    return 0;
}

// This program's folder as the frontend's system sees it; empty when that system's PATH has it
// already, or when this program is not on that system (a tree under --root that holds no copy).
std::string setup_run::program_folder_there() const
{
    std::string dir = program_dir().string();
    if (!request_.root.empty()) {
        if (dir.rfind(request_.root + "/", 0) != 0)
            return "";
        dir.erase(0, request_.root.size());
    }
    for (const char* on_path : {"/usr/local/bin", "/usr/bin", "/bin", "/usr/local/sbin", "/usr/sbin", "/sbin"})
        if (dir == on_path)
            return "";
    return dir;
}

// The hooks call tavimoro-host by name. A frontend runs them with its own PATH, which lacks the
// folder unpacked under a Buildroot frontend's share: such a hook starts by adding it.
std::string with_program_folder(std::string text, const std::string& folder)
{
    if (folder.empty())
        return text;
    std::string quoted;
    for (char c : folder)
        quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return text.insert(after_interpreter(text), "PATH='" + quoted + "':\"$PATH\"  # where tavimoro-host setup found tavimoro-host\n");
}

int setup_run::install_hooks()
{
    const std::string folder = program_folder_there();
    if (!folder.empty() && !f_.hooks.empty())
        say("the hooks find tavimoro-host in %s\n", folder.c_str());
    for (const hook& h : f_.hooks) {
        std::string source = hooks_folder() + "/" + h.source;
        std::optional<std::string> text = read_text(source);
        if (!text) {
            failed("cannot read the hook " + source);
            continue;
        }
        text = with_program_folder(*text, folder);
        std::optional<std::string> there = read_text(real(h.target));
        bool owners = there && *there != *text && !recorded("file", h.target);
        if (h.chains && owners)
            chain(h, *text);
        else
            put_file(h.target, *text, HOOK_MODE);
    }
    return 0;
}

bool read_only(std::string path)
{
    std::error_code error;
    while (!fs::exists(path, error) && path.size() > 1)
        path = fs::path(path).parent_path().string();
    struct statvfs fs_info;
    return statvfs(path.c_str(), &fs_info) == 0 && (fs_info.f_flag & ST_RDONLY);
}

int setup_run::install_rule()
{
    for (const char* dir : PACKAGE_RULE_DIRS) {
        if (access(real(std::string(dir) + "/" + RULE_NAME).c_str(), F_OK) == 0) {
            say("the package's udev rule is in place: %s/%s\n", real(dir).c_str(), RULE_NAME);
            return 0;
        }
    }
    if (read_only(real(f_.rule_dir))) {
        say("no udev rule: %s is on a read-only filesystem%s%s\n", real(f_.rule_dir).c_str(),
            f_.note.empty() ? "" : " (", f_.note.empty() ? "" : (f_.note + ", which needs none)").c_str());
        return 0;
    }
    std::string source = installed_or_source(TAVIMORO_UDEV_RULE_FROM_BIN, TAVIMORO_SOURCE_UDEV_RULE);
    std::optional<std::string> rule = read_text(source);
    if (!rule)
        return failed("cannot read the udev rule " + source);
    size_t before = record_.size();
    if (put_file(f_.rule_dir + "/" + RULE_NAME, *rule, RULE_MODE) != 0)
        return -1;
    if (record_.size() == before)
        return 0;
    if (!request_.root.empty()) {
        say("the rule takes effect when that system starts\n");
        return 0;
    }
    std::string udevadm = find_tool("udevadm");
    if (udevadm.empty() || run_tool({udevadm, "control", "--reload-rules"}) != 0 ||
        run_tool({udevadm, "trigger", "--subsystem-match=hidraw", "--action=add"}) != 0)
        say("udev did not reload its rules: plug the board in again after the next start\n");
    return 0;
}

// The group file's line of our group, or npos.
size_t group_line(const std::vector<std::string>& lines)
{
    for (size_t i = 0; i < lines.size(); i++)
        if (lines[i].rfind(std::string(GROUP) + ":", 0) == 0)
            return i;
    return std::string::npos;
}

std::vector<std::string> members_of(const std::string& line)
{
    std::vector<std::string> members;
    std::istringstream in(line.substr(line.rfind(':') + 1));
    for (std::string member; std::getline(in, member, ',');)
        members.push_back(member);
    return members;
}

// Field `n` (from 0) of a group file's line.
std::string field(const std::string& line, int n)
{
    std::istringstream in(line);
    std::string value;
    for (int i = 0; i <= n && std::getline(in, value, ':'); i++) {
    }
    return value;
}

// A system group number that no group of `lines` has, from the top of the system range down, as
// groupadd --system picks it.
unsigned free_system_gid(const std::vector<std::string>& lines)
{
    unsigned gid = 999;
    while (gid > 100 && std::any_of(lines.begin(), lines.end(),
                                    [&](const std::string& line) { return field(line, 2) == std::to_string(gid); }))
        gid--;
    return gid;
}

// The system's own command for a change of the group ("group") or of the user's membership
// ("member"): shadow's tools, or BusyBox's on a Buildroot system.
std::vector<std::string> group_command(const std::string& kind, const std::string& user, bool add)
{
    bool shadow = !find_tool("groupadd").empty();
    if (kind == "group" && shadow)
        return add ? std::vector<std::string>{"groupadd", "--system", GROUP} : std::vector<std::string>{"groupdel", GROUP};
    if (kind == "group")
        return add ? std::vector<std::string>{"addgroup", "-S", GROUP} : std::vector<std::string>{"delgroup", GROUP};
    if (shadow)
        return add ? std::vector<std::string>{"usermod", "-aG", GROUP, user}
                   : std::vector<std::string>{"gpasswd", "-d", user, GROUP};
    return {add ? "addgroup" : "delgroup", user, GROUP};
}

// Adds or takes out the group or the user's membership: on this system with its own tools; in a
// tree under --root by editing its /etc/group, as the tools would change this computer's groups.
int setup_run::edit_group(const std::string& kind, const std::string& user, bool add)
{
    if (request_.root.empty()) {
        std::vector<std::string> command = group_command(kind, user, add);
        std::string tool = command[0];
        command[0] = find_tool(tool.c_str());
        if (command[0].empty() || run_tool(command) != 0)
            return failed(tool + " failed: the group " + GROUP + " is left as it was");
        return 0;
    }
    std::vector<std::string> lines = lines_of(read_text(real("/etc/group")).value_or(""));
    size_t at = group_line(lines);
    if (kind == "group" && add) {
        lines.push_back(std::string(GROUP) + ":x:" + std::to_string(free_system_gid(lines)) + ":");
    } else if (kind == "group" && at != std::string::npos) {
        lines.erase(lines.begin() + at);
    } else if (at != std::string::npos) {
        std::vector<std::string> members = members_of(lines[at]);
        std::erase(members, user);
        if (add)
            members.push_back(user);
        std::string list;
        for (const std::string& member : members)
            list += (list.empty() ? "" : ",") + member;
        lines[at] = lines[at].substr(0, lines[at].rfind(':') + 1) + list;
    }
    std::string text;
    for (const std::string& line : lines)
        text += line + "\n";
    struct stat st;
    if (stat(real("/etc/group").c_str(), &st) != 0)
        return failed("cannot read " + real("/etc/group"));
    return write_whole("/etc/group", text, st.st_mode & 07777);
}

int setup_run::join_group()
{
    if (f_.user.empty()) {
        if (!f_.note.empty())
            say("no group to join: %s\n", f_.note.c_str());
        return 0;
    }
    std::optional<std::string> groups = read_text(real("/etc/group"));
    if (!groups)
        return failed("no " + real("/etc/group") + ": add " + f_.user + " to the group " + GROUP + " there yourself");
    size_t at = group_line(lines_of(*groups));
    if (at == std::string::npos && step(std::string("make the group ") + GROUP)) {
        if (edit_group("group", "", true) != 0)
            return -1;
        add_record("group", GROUP);
    }
    std::vector<std::string> lines = lines_of(read_text(real("/etc/group")).value_or(""));
    at = group_line(lines);
    std::vector<std::string> members = at == std::string::npos ? std::vector<std::string>{} : members_of(lines[at]);
    if (std::find(members.begin(), members.end(), f_.user) != members.end() ||
        !step("add " + f_.user + " to the group " + GROUP + " (from its next login)"))
        return 0;
    if (edit_group("member", f_.user, true) != 0)
        return -1;
    add_record("member", f_.user);
    return 0;
}

// The board is plugged into this computer: the test needs no tree under --root unless the board
// is named.
void setup_run::test_board() const
{
    if (!request_.root.empty() && request_.device.empty()) {
        say("no test game: the board is plugged into that system, not this one (or name it with --device)\n");
        return;
    }
    if (!step("name a test game to the board"))
        return;
    std::string device = request_.device;
    board_link board;
    board.timeout_s = request_.timeout_s;
    if ((device.empty() && find_link(request_.serial, device) != 0) || open_link(device, board) != 0) {
        say("setup is done; once the board is plugged in, 'tavimoro-host info --title Test' shows a title on it\n");
        return;
    }
    init_crc32_table();
    if (send_message(board, TEST_MESSAGE) == 0)
        say("the marquee shows the title \"Tavimoro is connected\" (its disk has no picture of that name); the next "
            "game started replaces it\n");
}

int setup_run::install()
{
    read_record();
    if (f_.name.empty())
        say("no frontend found (Batocera, RetroPie, Recalbox or ES-DE): put %s/generic/tavimoro-game on the PATH and "
            "have the frontend run 'tavimoro-game ROM-PATH [NAME]' when a game starts and 'tavimoro-game' when it "
            "ends\n",
            hooks_folder().c_str());
    else
        say("frontend: %s\n", f_.name.c_str());
    install_hooks();
    install_rule();
    join_group();
    write_record();
    test_board();
    return failures_ ? EXIT_REFUSED : 0;
}

int setup_run::undo(const entry& e)
{
    std::string at = real(e.path);
    if (e.kind == "file" && step("remove " + at))
        return unlink(at.c_str()) == 0 || errno == ENOENT ? 0 : failed("cannot remove " + at + ": " + strerror(errno));
    if (e.kind == "line" && step("take the line of setup out of " + at)) {
        std::string script = read_text(at).value_or("");
        size_t line = script.find(e.text + "\n");
        struct stat st;
        if (line == std::string::npos || stat(at.c_str(), &st) != 0)
            return 0;
        return write_whole(e.path, script.erase(line, e.text.size() + 1), st.st_mode & 07777);
    }
    if (e.kind == "member" && step("take " + e.path + " out of the group " + GROUP))
        return edit_group("member", e.path, false);
    if (e.kind == "group" && step(std::string("remove the group ") + GROUP))
        return edit_group("group", "", false);
    // A folder setup made goes only when nothing else was put in it since.
    if (e.kind == "dir" && step("remove the folder " + at + " when empty") && rmdir(at.c_str()) != 0 &&
        errno != ENOENT)
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
    if (step("remove the record " + real(manifest())) && unlink(real(manifest()).c_str()) != 0)
        failed("cannot remove " + real(manifest()) + ": " + strerror(errno));
    for (auto e = record_.rbegin(); e != record_.rend(); ++e)
        if (e->kind == "dir")
            undo(*e);
    return failures_ ? EXIT_REFUSED : 0;
}

// The first home folder holding `marker`.
std::string user_with(const std::string& root, const char* marker)
{
    std::error_code error;
    std::vector<std::string> users;
    for (const fs::directory_entry& home : fs::directory_iterator(root + "/home", error))
        if (fs::exists(home.path() / marker, error))
            users.push_back(home.path().filename().string());
    std::sort(users.begin(), users.end());
    return users.empty() ? "" : users[0];
}

// The frontend of the system at `root`, by the files each one keeps.
frontend find_frontend(const std::string& root)
{
    std::error_code error;
    auto has = [&](const char* path) { return fs::is_directory(root + path, error); };
    if (has("/usr/share/batocera") || has("/userdata/system/configs/emulationstation"))
        return batocera();
    if (has("/recalbox/share"))
        return recalbox();
    if (has("/opt/retropie/configs/all")) {
        std::string user = user_with(root, ".emulationstation");
        return retropie(user.empty() ? "pi" : user);
    }
    if (std::string user = user_with(root, "ES-DE"); !user.empty())
        return esde(user);
    return no_frontend();
}

} // namespace

int run_setup(const setup_request& request)
{
    std::error_code error;
    if (!request.root.empty() && !fs::is_directory(request.root, error))
        return fail(EXIT_USAGE, "--root %s is not a folder", request.root.c_str());
    setup_request rooted = request;
    if (!rooted.root.empty())
        rooted.root = fs::absolute(rooted.root, error).lexically_normal().string();
    if (rooted.root == "/")
        rooted.root.clear();
    else if (!rooted.root.empty() && rooted.root.back() == '/')
        rooted.root.pop_back();
    setup_run run(rooted, find_frontend(rooted.root));
    return request.remove ? run.remove() : run.install();
}
