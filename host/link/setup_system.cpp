// The system's own steps of setup: the udev rule (unless a package put it in place) and the
// tavimoro group for the user who runs the frontend, with the system's own tools or, in a tree
// under --root, by editing that tree's files.
#include "host/link/setup_run.h"

#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <sstream>

namespace fs = std::filesystem;

namespace setup {

namespace {

constexpr const char* RULE_NAME = "70-tavimoro.rules";
constexpr mode_t RULE_MODE = 0644;
// Where udev reads rules that a package installs: a copy there is the package's, and stays.
const char* const PACKAGE_RULE_DIRS[] = {"/usr/lib/udev/rules.d", "/lib/udev/rules.d"};

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

bool read_only(std::string path)
{
    std::error_code error;
    while (!fs::exists(path, error) && path.size() > 1)
        path = fs::path(path).parent_path().string();
    struct statvfs fs_info;
    return statvfs(path.c_str(), &fs_info) == 0 && (fs_info.f_flag & ST_RDONLY);
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

} // namespace

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

} // namespace setup
