// The owner's game library as a frontend scraped it: EmulationStation-style gamelist.xml files,
// or ROM folders without one.
#pragma once

#include <map>
#include <string>
#include <vector>

struct scraped_game {
    std::string system;    // the folder the game was listed in
    std::string source;    // the gamelist.xml it came from, or the ROM folder
    std::string rom;       // the ROM's path, resolved against the gamelist's folder
    std::string name;      // the game's name as the frontend shows it ("" when none)
    std::map<std::string, std::string> media;  // tag (marquee, wheel, image, video, ...) -> resolved path
};

// Reads INPUT: a gamelist.xml file; a folder holding one; a folder whose subfolders (the
// systems) each hold one or else ROM files; or a folder of ROM files. Appends the games found; a file that cannot be read
// or parsed is reported on stderr, naming it, and the others are still read. Returns the number
// of such problems.
int read_library(const std::string& input, std::vector<scraped_game>& games);
