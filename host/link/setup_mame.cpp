// The MAME step of setup. MAME finds plugins only in the folders of its pluginspath option.
// Debian's MAME reads /etc/mame/mame.ini, then the user's ~/.mame/mame.ini over it; the system's
// file lists only the package's own plugins. The plugin goes into the user's ~/.mame/plugins,
// which MAME's upgrades leave alone; that folder is added to the pluginspath of the user's
// mame.ini (made, holding that one option, when the user has none); and the line "tavimoro 1" of
// ~/.mame/plugin.ini, read from the same folders, starts it with every machine. No record is
// needed to take it back: a file that holds nothing once ours is out was setup's, and goes; an
// option that then says what is in force anyway goes too.
#include "host/link/setup_mame.h"

#include "core/durable_file.h"
#include "host/link/link_client.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <sstream>
#include <vector>

namespace fs = std::filesystem;

namespace {

constexpr const char* PLUGIN = "tavimoro";
const char* const PLUGIN_FILES[] = {"init.lua", "plugin.json"};
constexpr const char* SYSTEM_INI = "/etc/mame/mame.ini";
constexpr const char* PATH_OPTION = "pluginspath";
// MAME's own default, for a system without a mame.ini of its own.
constexpr const char* DEFAULT_PLUGINS_PATH = "plugins";

// The plugin as installed beside this program (share/tavimoro/mame-plugins), or the source tree's.
std::string plugin_source()
{
    std::error_code error;
    fs::path installed = fs::read_symlink("/proc/self/exe", error).parent_path() / TAVIMORO_MAME_PLUGIN_FROM_BIN;
    return fs::is_directory(installed, error) ? installed.lexically_normal().string() : TAVIMORO_SOURCE_MAME_PLUGIN;
}

std::optional<std::string> contents(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return std::nullopt;
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::vector<std::string> split(const std::string& text, char separator)
{
    std::vector<std::string> parts;
    std::istringstream in(text);
    for (std::string part; std::getline(in, part, separator);)
        parts.push_back(part);
    return parts;
}

std::string joined(const std::vector<std::string>& parts, const std::string& separator)
{
    std::string text;
    for (const std::string& part : parts)
        text += (&part == &parts.front() ? "" : separator) + part;
    return text;
}

// The first word of an ini line, as MAME reads its options.
std::string option_name(const std::string& line)
{
    return line.substr(0, line.find_first_of(" \t"));
}

// Where the value of an option's line starts.
size_t value_at(const std::string& line)
{
    return std::min(line.size(), line.find_first_not_of(" \t", option_name(line).size()));
}

std::vector<std::string>::iterator path_line(std::vector<std::string>& lines)
{
    return std::find_if(lines.begin(), lines.end(), [](const std::string& l) { return option_name(l) == PATH_OPTION; });
}

// The pluginspath a user's mame.ini without the option leaves in force: the system's.
std::string system_plugins_path(const std::optional<std::string>& system_ini)
{
    std::vector<std::string> lines = split(system_ini.value_or(""), '\n');
    auto line = path_line(lines);
    return line == lines.end() ? DEFAULT_PLUGINS_PATH : line->substr(value_at(*line));
}

// `ini` with `dir` added to (or taken out of) its pluginspath. A file without the option gets one
// that goes on from `in_force`, and loses it again when it comes back to that.
std::string with_plugins_dir(const std::string& ini, const std::string& dir, bool add, const std::string& in_force)
{
    std::vector<std::string> lines = split(ini, '\n');
    auto line = path_line(lines);
    if (line == lines.end() && !add)
        return ini;
    if (line == lines.end())
        line = lines.insert(lines.end(), std::string(PATH_OPTION) + "             " + in_force);
    size_t value = value_at(*line);
    std::vector<std::string> dirs = split(line->substr(value), ';');
    if (add && std::find(dirs.begin(), dirs.end(), dir) != dirs.end())
        return ini;
    std::erase(dirs, dir);
    if (add)
        dirs.push_back(dir);
    *line = line->substr(0, value) + joined(dirs, ";");
    if (!add && joined(dirs, ";") == in_force)
        lines.erase(line);
    return lines.empty() ? "" : joined(lines, "\n") + "\n";
}

// plugin.ini with the plugin's one line on (or taken out), the other lines as they were.
std::string with_plugin_on(const std::string& ini, bool on)
{
    std::vector<std::string> lines = split(ini, '\n');
    auto ours = [](const std::string& l) { return option_name(l) == PLUGIN; };
    auto line = std::find_if(lines.begin(), lines.end(), ours);
    if (on && line != lines.end() && line->substr(value_at(*line)) == "1" && std::count_if(line, lines.end(), ours) == 1)
        return ini;
    std::erase_if(lines, ours);
    if (on)
        lines.push_back(std::string(PLUGIN) + "                  1");
    return lines.empty() ? "" : joined(lines, "\n") + "\n";
}

class mame_setup {
public:
    mame_setup(const std::string& root, bool dry_run) : root_(root), dry_run_(dry_run) {}

    void install(const std::string& home);
    void remove(const std::string& home);
    int result() const { return failures_ ? EXIT_REFUSED : 0; }

private:
    const std::string& root_;
    bool dry_run_;
    int failures_ = 0;

    std::string real(const std::string& path) const { return root_ + path; }
    bool step(const std::string& text) const
    {
        say("%s%s\n", dry_run_ ? "would " : "", text.c_str());
        return !dry_run_;
    }
    void failed(const std::string& text)
    {
        failures_++;
        fail(EXIT_REFUSED, "%s: %s", text.c_str(), strerror(errno));
    }
    bool through_link(const std::string& path);
    void take_owner_of_folder(const std::string& path);
    void make_dir(const std::string& dir);
    void write(const std::string& path, const std::string& text, const std::string& doing);
    void unlink_file(const std::string& path);
    void remove_dir(const std::string& dir);
    void put_back(const std::string& path, const std::string& text, const std::string& doing);
    std::string path_in_force() const { return system_plugins_path(contents(real(SYSTEM_INI))); }
};

// The user may point ~/.mame, or a name in it, anywhere: setup, which runs as root, changes
// nothing through a link there.
bool mame_setup::through_link(const std::string& path)
{
    struct stat st;
    for (size_t end = path.find('/', path.find("/.mame") + 1);; end = path.find('/', end + 1)) {
        if (lstat(real(path.substr(0, end)).c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
            errno = ELOOP;
            failed(real(path) + " goes through a link: left as it is");
            return true;
        }
        if (end == std::string::npos)
            return false;
    }
}

// A new file or folder in a user's home is the user's: it takes the owner of its folder.
void mame_setup::take_owner_of_folder(const std::string& path)
{
    struct stat parent;
    std::string at = real(path);
    if (stat(fs::path(at).parent_path().c_str(), &parent) != 0 || lchown(at.c_str(), parent.st_uid, parent.st_gid) != 0)
        failed("cannot give " + at + " the owner of its folder");
}

void mame_setup::make_dir(const std::string& dir)
{
    std::error_code error;
    if (through_link(dir) || fs::is_directory(real(dir), error) || !step("make the folder " + real(dir)))
        return;
    if (mkdir(real(dir).c_str(), 0755) != 0)
        return failed("cannot make the folder " + real(dir));
    take_owner_of_folder(dir);
}

// Writes `text` as the whole of `path` when it differs, keeping an old file's mode and owner.
void mame_setup::write(const std::string& path, const std::string& text, const std::string& doing)
{
    if (through_link(path) || contents(real(path)) == text || !step(doing))
        return;
    struct stat old;
    bool existed = stat(real(path).c_str(), &old) == 0;
    if (write_file_durably(real(path).c_str(), text.data(), text.size()) != 0 ||
        chmod(real(path).c_str(), existed ? old.st_mode & 07777 : 0644) != 0)
        return failed("cannot write " + real(path));
    if (!existed)
        take_owner_of_folder(path);
    else if (lchown(real(path).c_str(), old.st_uid, old.st_gid) != 0)
        failed("cannot keep the owner of " + real(path));
}

void mame_setup::unlink_file(const std::string& path)
{
    if (!through_link(path) && access(real(path).c_str(), F_OK) == 0 && step("remove " + real(path)) &&
        unlink(real(path).c_str()) != 0)
        failed("cannot remove " + real(path));
}

void mame_setup::remove_dir(const std::string& dir)
{
    std::error_code error;
    if (!through_link(dir) && fs::is_directory(real(dir), error) && fs::is_empty(real(dir), error) &&
        step("remove the folder " + real(dir)) && rmdir(real(dir).c_str()) != 0)
        failed("cannot remove " + real(dir));
}

// A file of the user's with our line taken out: gone when nothing is left (it held nothing else).
void mame_setup::put_back(const std::string& path, const std::string& text, const std::string& doing)
{
    if (!text.empty())
        write(path, text, doing);
    else
        unlink_file(path);
}

void mame_setup::install(const std::string& home)
{
    const std::string plugins = home + "/.mame/plugins", folder = plugins + "/" + PLUGIN;
    make_dir(plugins);
    make_dir(folder);
    for (const char* name : PLUGIN_FILES) {
        std::string source = plugin_source() + "/" + name;
        std::optional<std::string> text = contents(source);
        if (!text) {
            failed("cannot read the MAME plugin's " + source);
            continue;
        }
        write(folder + "/" + name, *text, "install " + real(folder + "/" + name));
    }
    const std::string user_ini = home + "/.mame/mame.ini";
    write(user_ini, with_plugins_dir(contents(real(user_ini)).value_or(""), plugins, true, path_in_force()),
          "add " + plugins + " to MAME's " + PATH_OPTION + " in " + real(user_ini));
    const std::string plugin_ini = home + "/.mame/plugin.ini";
    write(plugin_ini, with_plugin_on(contents(real(plugin_ini)).value_or(""), true),
          "turn the plugin on in " + real(plugin_ini));
}

void mame_setup::remove(const std::string& home)
{
    const std::string plugins = home + "/.mame/plugins", folder = plugins + "/" + PLUGIN;
    for (const char* name : PLUGIN_FILES)
        unlink_file(folder + "/" + name);
    remove_dir(folder);
    remove_dir(plugins);
    const std::string plugin_ini = home + "/.mame/plugin.ini";
    put_back(plugin_ini, with_plugin_on(contents(real(plugin_ini)).value_or(""), false), "turn the plugin off in " + real(plugin_ini));
    // The folder stays in the pluginspath while other plugins are in it.
    std::error_code error;
    for (const fs::directory_entry& other : fs::directory_iterator(real(plugins), error))
        if (other.path().filename() != PLUGIN)
            return;
    const std::string user_ini = home + "/.mame/mame.ini";
    put_back(user_ini, with_plugins_dir(contents(real(user_ini)).value_or(""), plugins, false, path_in_force()),
             "take " + plugins + " out of MAME's " + PATH_OPTION + " in " + real(user_ini));
}

// The homes (as the system at `root` sees them) of the users who have run MAME.
std::vector<std::string> mame_homes(const std::string& root)
{
    std::vector<std::string> homes;
    std::error_code error;
    for (const fs::directory_entry& home : fs::directory_iterator(root + "/home", error))
        homes.push_back("/home/" + home.path().filename().string());
    homes.push_back("/root");
    std::erase_if(homes, [&](const std::string& home) { return !fs::is_directory(root + home + "/.mame", error); });
    std::sort(homes.begin(), homes.end());
    return homes;
}

} // namespace

int setup_mame(const std::string& root, bool remove, bool dry_run)
{
    std::vector<std::string> homes = mame_homes(root);
    if (homes.empty() && !remove)
        say("no MAME plugin: no user has run MAME here (no ~/.mame); run setup again once MAME has started\n");
    mame_setup setup(root, dry_run);
    for (const std::string& home : homes) {
        if (remove)
            setup.remove(home);
        else
            setup.install(home);
    }
    return setup.result();
}
