// Choosing a game's sources along the owner's preference: the one rule that build and scan share.
#pragma once

#include "host/kit/library.h"

#include <string>
#include <vector>

struct media_source {
    std::string tag;
    std::string file;
};

// The game's candidate files in the order they are tried: for the picture, each picture tag of
// `prefer` in turn with its files best first; for the video, the files of "video" when `prefer`
// lists it.
std::vector<media_source> sources_along(const scraped_game& game, const std::vector<std::string>& prefer, bool video);

// The first of `sources` that is a regular file, or null. Whether it decodes is known only once
// it is converted.
const media_source* first_present(const std::vector<media_source>& sources);
