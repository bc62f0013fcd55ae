// What setup writes into files that are not its own: a marked line that calls our hook from a
// script of the owner's, a block in a frontend's settings file, and the program's folder at the
// top of a hook. Each goes into the record, and --remove takes exactly that text out again.
#include "host/link/setup_run.h"

#include <sys/stat.h>

#include <filesystem>

namespace fs = std::filesystem;

namespace setup {

namespace {

// Ends the line setup adds to a script of the owner's, so that the owner (and --remove) sees it.
constexpr const char* CHAIN_MARK = "  # added by tavimoro-host setup; 'tavimoro-host setup --remove' takes it out";

// Where a line goes into a script: after its first line when that names its interpreter.
size_t after_interpreter(const std::string& script)
{
    size_t end = script.find('\n');
    return script.rfind("#!", 0) == 0 && end != std::string::npos ? end + 1 : 0;
}

// `text` with each character of `special` after a `escape`.
std::string escaped_by(const std::string& text, const char* special, const std::string& escape)
{
    std::string out;
    for (char c : text)
        out += std::string(1, c).find_first_of(special) == 0 ? escape + c : std::string(1, c);
    return out;
}

} // namespace

// The hooks call tavimoro-host by name. A frontend runs them with its own PATH, which lacks the
// folder unpacked under a Buildroot frontend's share: such a hook starts by adding it (a shell
// hook to its PATH; Attract-Mode's plug-in, which runs the program itself, by its full name).
std::string with_program_folder(std::string text, const std::string& folder, const std::string& source)
{
    if (folder.empty())
        return text;
    if (fs::path(source).extension() == ".nut")
        return "::tavimoro_host <- \"" + escaped_by(folder + "/tavimoro-host", "\\\"", "\\") +
               "\";  // where tavimoro-host setup found tavimoro-host\n" + text;
    // In single quotes, a quote is closed, escaped and opened again.
    std::string quoted;
    for (char c : folder)
        quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return text.insert(after_interpreter(text), "PATH='" + quoted + "':\"$PATH\"  # where tavimoro-host setup found tavimoro-host\n");
}

// A script of the owner's where ours goes: ours goes into the state folder, and one marked line
// that calls it goes into theirs.
int setup_run::chain(const setup_hook& h, const std::string& text)
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

// The block goes at the end of the settings file, unless it is there already or the file has a
// setting of the owner's under its key.
int setup_run::add_block(const setup_block& b)
{
    std::optional<std::string> settings = read_text(real(b.file));
    if (!settings)
        return failed("no " + real(b.file) + ": start the frontend once, then run setup again");
    if (settings->find(b.text) != std::string::npos)
        return 0;
    if (settings->find("\n" + b.key + "\n") != std::string::npos) {
        say("%s has a setting of its own for '%s': left as it is\n", real(b.file).c_str(), b.key.c_str());
        return 0;
    }
    std::string shown = b.key;
    std::replace(shown.begin(), shown.end(), '\t', ' ');
    if (!step("add '" + shown + "' to " + real(b.file)))
        return 0;
    if (!settings->empty() && settings->back() != '\n')
        *settings += '\n';
    struct stat st;
    if (stat(real(b.file).c_str(), &st) != 0 || write_whole(b.file, *settings + b.text, st.st_mode & 07777) != 0)
        return failed("cannot add '" + b.key + "' to " + real(b.file));
    add_record("block", b.file, b.text);
    return 0;
}

// Takes a line or block of setup out of the file it went into; a file that no longer holds it
// (the owner took it out, or the frontend wrote it differently) is left as it is.
int setup_run::take_out(const entry& e)
{
    std::string piece = e.kind == "line" ? e.text + "\n" : e.text;
    std::string text = read_text(real(e.path)).value_or("");
    size_t at = text.find(piece);
    struct stat st;
    if (at == std::string::npos || stat(real(e.path).c_str(), &st) != 0)
        return 0;
    return write_whole(e.path, text.erase(at, piece.size()), st.st_mode & 07777);
}

} // namespace setup
