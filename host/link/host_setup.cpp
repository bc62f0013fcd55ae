// `tavimoro-host setup`: finds the frontend from its files, installs its hooks where it runs them,
// the udev rule, the tavimoro group and the MAME plugin, keeps a record of what it added so that --remove takes
// exactly that back, and names a test game to the board. Each frontend's places are in a file of
// its own (setup_*.cpp); the udev rule and the group in setup_system.cpp.
#include "host/link/setup_run.h"

#include "core/durable_file.h"
#include "host/link/setup_mame.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace fs = std::filesystem;

namespace setup {

namespace {

constexpr const char* MANIFEST_NAME = "setup-installed";

// The frontends, most particular first: the first that recognises a tree is its frontend.
const frontend_setup* const FRONTENDS[] = {&BATOCERA_SETUP, &RECALBOX_SETUP, &RETROPIE_SETUP, &ESDE_SETUP,
                                           &ATTRACT_SETUP};

setup_frontend no_frontend()
{
    return {.rule_dir = "/etc/udev/rules.d",
            .state_dir = "/var/lib/tavimoro",
            .note = "the rule gives the board to the user logged in at the seat"};
}

fs::path program_dir()
{
    std::error_code error;
    return fs::read_symlink("/proc/self/exe", error).parent_path();
}

} // namespace

std::string installed_or_source(const char* from_bin, const char* source)
{
    std::error_code error;
    fs::path installed = program_dir() / from_bin;
    return fs::exists(installed, error) ? installed.lexically_normal().string() : source;
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

namespace {

std::string hooks_folder()
{
    return installed_or_source(TAVIMORO_FRONTENDS_FROM_BIN, TAVIMORO_SOURCE_FRONTENDS);
}

// The frontend of the system at `root`, by the files each one keeps.
setup_frontend find_frontend(const std::string& root)
{
    for (const frontend_setup* frontend : FRONTENDS)
        if (frontend->recognises(root))
            return frontend->layout(root);
    return no_frontend();
}

} // namespace

std::string setup_run::manifest() const
{
    return f_.state_dir + "/" + MANIFEST_NAME;
}

bool setup_run::step(const std::string& text) const
{
    say("%s%s\n", request_.dry_run ? "would " : "", text.c_str());
    return !request_.dry_run;
}

int setup_run::failed(const std::string& text)
{
    failures_++;
    fail(EXIT_REFUSED, "%s", text.c_str());
    return -1;
}

namespace {

// A record's text on one line: a block's line breaks as \n, and its backslashes doubled.
std::string escaped(const std::string& text)
{
    std::string out;
    for (char c : text)
        out += c == '\n' ? "\\n" : c == '\\' ? "\\\\" : std::string(1, c);
    return out;
}

std::string unescaped(const std::string& text)
{
    std::string out;
    for (size_t i = 0; i < text.size(); i++) {
        bool pair = text[i] == '\\' && i + 1 < text.size();
        out += pair && text[i + 1] == 'n' ? '\n' : pair ? text[i + 1] : text[i];
        i += pair;
    }
    return out;
}

} // namespace

void setup_run::read_record()
{
    for (const std::string& line : lines_of(read_text(real(manifest())).value_or(""))) {
        size_t space = line.find(' '), tab = line.find('\t');
        if (space == std::string::npos)
            continue;
        std::string path = line.substr(space + 1, tab == std::string::npos ? std::string::npos : tab - space - 1);
        record_.push_back({line.substr(0, space), path, tab == std::string::npos ? "" : unescaped(line.substr(tab + 1))});
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
        text += e.kind + " " + e.path + (e.text.empty() ? "" : "\t" + escaped(e.text)) + "\n";
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

int setup_run::install_hooks()
{
    const std::string folder = program_folder_there();
    if (!folder.empty() && !f_.hooks.empty())
        say("the hooks find tavimoro-host in %s\n", folder.c_str());
    for (const setup_hook& h : f_.hooks) {
        std::string source = hooks_folder() + "/" + h.source;
        std::optional<std::string> text = read_text(source);
        if (!text) {
            failed("cannot read the hook " + source);
            continue;
        }
        text = with_program_folder(*text, folder, h.source);
        std::optional<std::string> there = read_text(real(h.target));
        bool owners = there && *there != *text && !recorded("file", h.target);
        if (h.chains && owners)
            chain(h, *text);
        else
            put_file(h.target, *text, HOOK_MODE);
    }
    for (const setup_block& b : f_.blocks)
        add_block(b);
    for (const std::string& old : f_.retired) {
        if (!recorded("file", old) || !step("remove " + real(old) + ", the hook of an older setup"))
            continue;
        if (unlink(real(old).c_str()) != 0 && errno != ENOENT)
            failed("cannot remove " + real(old) + ": " + strerror(errno));
        else
            forget("file", old);
    }
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
    if (step("name a test game to the board"))
        name_test_game(request_, " (its disk has no picture of that name); the next game started replaces it");
}

int setup_run::install()
{
    read_record();
    if (f_.name.empty())
        say("no frontend found (Batocera, RetroPie, Recalbox, ES-DE or Attract-Mode): put %s/generic/tavimoro-game on the PATH and "
            "have the frontend run 'tavimoro-game ROM-PATH [NAME]' when a game starts and 'tavimoro-game' when it "
            "ends\n",
            hooks_folder().c_str());
    else
        say("frontend: %s\n", f_.name.c_str());
    install_hooks();
    install_rule();
    join_group();
    if (setup_mame(request_.root, false, request_.dry_run) != 0)
        failures_++;
    write_record();
    test_board();
    return failures_ ? EXIT_REFUSED : 0;
}

int setup_run::undo(const entry& e)
{
    std::string at = real(e.path);
    if (e.kind == "file" && step("remove " + at))
        return unlink(at.c_str()) == 0 || errno == ENOENT ? 0 : failed("cannot remove " + at + ": " + strerror(errno));
    if ((e.kind == "line" || e.kind == "block") && step("take the " + e.kind + " of setup out of " + at))
        return take_out(e);
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
    // The MAME plugin is found where it lies, whatever the record says.
    if (setup_mame(request_.root, true, request_.dry_run) != 0)
        failures_++;
    read_record();
    if (record_.empty()) {
        say("setup added nothing here (no record at %s)\n", real(manifest()).c_str());
        return failures_ ? EXIT_REFUSED : 0;
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

} // namespace setup

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
    setup::setup_run run(rooted, setup::find_frontend(rooted.root));
    return request.remove ? run.remove() : run.install();
}
