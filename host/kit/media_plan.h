// tavimoro-media build's plan: the file each game's and system's picture and video is made from
// and named by, and the manifest that tells which of them a second run can skip.
#pragma once

#include "host/kit/media_build.h"
#include "host/kit/media_choice.h"

#include <filesystem>
#include <string>
#include <vector>

// The media tree the kit writes into: the first one the board searches.
inline constexpr const char* TREE = "vorlix";

enum class outcome { pending, made, skipped, failed };

// A scraped file that can become a game's picture or video.
struct job {
    const scraped_game* game;
    std::string title;                 // the game as the report names it
    bool video = false;
    std::vector<media_source> candidates;  // best first: the next is tried when one is missing or fails
    std::string target;                // relative to the product directory
    std::string settings;              // the conversion's settings, as the manifest keeps them
    std::string record;                // the manifest's record: the settings and every candidate's state
    outcome result = outcome::pending;
    std::string reason;
    const library_system* system = nullptr;  // the system whose picture or video it is
};

std::string game_title(const scraped_game& game);

// One job per game for its picture and one for its video, when it has candidates for them,
// then each system's; `bare` gets the games that have none.
std::vector<job> plan(const std::vector<scraped_game>& games, const std::vector<library_system>& systems,
                      const build_options& options, std::vector<const scraped_game*>& bare);

// Marks as skipped the jobs whose target was made from the same candidates with the same
// settings, as the manifest in `product` tells, and keeps every job's record, to be written once
// it is made.
void check_sources(std::vector<job>& jobs, const std::filesystem::path& product);

// Writes the manifest in `product`: the record of every job made or skipped. 0, or -1.
int write_manifest(const std::filesystem::path& product, const std::vector<job>& jobs);
