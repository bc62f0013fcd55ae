// Choosing a game's sources along the owner's preference: the one rule that build and scan share.
#pragma once

#include "host/kit/library.h"
#include "host/kit/media_convert.h"

#include <string>
#include <vector>

// The picture drawn from two of the game's own: its logo over its art (see media_compose.h).
inline constexpr const char* COMPOSED_TAG = "composed";

// The video made from an animated picture (a GIF) chosen as the game's picture.
inline constexpr const char* ANIMATED_TAG = "animated";

struct media_source {
    std::string tag;
    std::string file;                // for a composed picture, its art
    std::vector<std::string> logos = {};  // for a composed picture, its logos, best first
};

// The game's candidate files in the order they are tried: for the picture, each picture tag of
// `prefer` in turn with its files best first ("composed": one per art file, when the game has
// both art and a logo); for the video, the files of "video" when `prefer` lists it, or when the
// game has none, the picture it would get when that is animated ("animated").
std::vector<media_source> sources_along(const scraped_game& game, const std::vector<std::string>& prefer, bool video);

// The first of `sources` that is a regular file, or null. Whether it decodes is known only once
// it is converted.
const media_source* first_present(const std::vector<media_source>& sources);
