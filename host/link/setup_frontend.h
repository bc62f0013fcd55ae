// The frontends setup knows, one file each: how each is recognised in a tree, and what setup
// installs for it there. Every path is a path of the frontend's system (under the root).
#pragma once

#include <string>
#include <vector>

struct setup_hook {
    std::string source;  // in the hooks folder
    std::string target;  // where the frontend runs it
    bool chains = false; // a script the owner may have already: ours is called from it
};

// Text setup adds to a settings file of the frontend's, which the frontend may rewrite in its own
// words: the text is the frontend's own spelling of it, so that --remove still finds it then.
struct setup_block {
    std::string file;
    std::string text;
    std::string key;  // a line of the text that the frontend keeps only once: the owner's own when found
};

// A frontend as setup finds it.
struct setup_frontend {
    std::string name = {};
    std::vector<setup_hook> hooks = {};
    std::vector<setup_block> blocks = {};
    std::vector<std::string> retired = {};  // hooks an older setup installed, taken out where it did
    std::string rule_dir = {};   // where a udev rule of ours persists on that system
    std::string state_dir = {};  // the record of what setup added, and hooks that scripts of the owner's call
    std::string user = {};       // who runs the frontend and its hooks; empty when it runs as root
    std::string note = {};       // why the group or the rule is not needed there
};

struct frontend_setup {
    // True when the tree at `root` holds this frontend's files.
    bool (*recognises)(const std::string& root);
    // What setup installs for it in that tree.
    setup_frontend (*layout)(const std::string& root);
};

// Each frontend's entry, defined in its own file.
extern const frontend_setup BATOCERA_SETUP;
extern const frontend_setup RECALBOX_SETUP;
extern const frontend_setup RETROPIE_SETUP;
extern const frontend_setup ESDE_SETUP;
extern const frontend_setup ATTRACT_SETUP;

// The first user (by name) whose home folder under `root` holds `marker`; empty when none.
std::string user_with(const std::string& root, const char* marker);
