// One run of `tavimoro-host setup` on the frontend it found: the steps it does (or only says, in a
// dry run) and the record of what it added. The shared steps (files, hooks, the record) are in
// host_setup.cpp; what it writes into files of the owner's in setup_edit.cpp; the system's own
// (the udev rule, the group) in setup_system.cpp.
#pragma once

#include "host/link/host_setup.h"
#include "host/link/setup_frontend.h"

#include <sys/types.h>

#include <algorithm>
#include <optional>
#include <string>
#include <vector>

namespace setup {

constexpr const char* GROUP = "tavimoro";
constexpr mode_t HOOK_MODE = 0755;

std::optional<std::string> read_text(const std::string& path);
std::vector<std::string> lines_of(const std::string& text);
// Installed: the file `from_bin` (relative to the program's folder); in the build tree: `source`.
std::string installed_or_source(const char* from_bin, const char* source);
// The hook `source`'s text, made to find tavimoro-host in `folder` (none when empty).
std::string with_program_folder(std::string text, const std::string& folder, const std::string& source);

// One thing setup added, as its record keeps it: "dir PATH", "file PATH", "line PATH\tTEXT",
// "block PATH\tTEXT", "group NAME" or "member USER".
struct entry {
    std::string kind, path, text;
};

class setup_run {
public:
    setup_run(const setup_request& request, setup_frontend f) : request_(request), f_(std::move(f)) {}

    int install();
    int remove();

private:
    const setup_request& request_;
    setup_frontend f_;
    std::vector<entry> record_;
    bool recorded_more_ = false;
    int failures_ = 0;

    std::string real(const std::string& path) const { return request_.root + path; }
    std::string manifest() const;

    // Says what a step does, or would do in a dry run; true when it is to be done.
    bool step(const std::string& text) const;
    int failed(const std::string& text);
    void add_record(const std::string& kind, const std::string& path, const std::string& text = "")
    {
        record_.push_back({kind, path, text});
        recorded_more_ = true;
    }
    void forget(const std::string& kind, const std::string& path)
    {
        std::erase_if(record_, [&](const entry& e) { return e.kind == kind && e.path == path; });
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
    int chain(const setup_hook& h, const std::string& text);
    int add_block(const setup_block& b);
    int take_out(const entry& e);
    std::string program_folder_there() const;
    int install_hooks();
    int install_rule();
    int join_group();
    int edit_group(const std::string& kind, const std::string& user, bool add);
    int undo(const entry& e);
    void test_board() const;
};

} // namespace setup
