// tavimoro-media's command line: the commands' options, each value checked as it is read.
#pragma once

#include "host/kit/media_build.h"

#include <string>
#include <vector>

inline constexpr const char* DEFAULT_FONT = "/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf";

struct media_options {
    bool json = false;
    bool hidden = false;
    std::string html;
    std::string disk, package, system_art;
    build_options build;
    std::string rom, title, leaderboard, font = DEFAULT_FONT, output;
    std::vector<std::string> inputs;  // the command, then its libraries
};

// Reads the options, and the arguments into `inputs`; --help prints the usage and exits. 0, or
// -1 with the wrong option named.
int parse_options(int argc, char** argv, media_options& opt);
