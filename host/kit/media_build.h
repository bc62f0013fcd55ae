// tavimoro-media build: the board's media made from the scraped media, on a disk or in a package.
#pragma once

#include "host/kit/library.h"
#include "host/kit/media_convert.h"
#include "host/kit/system_art.h"

#include <string>
#include <vector>

// The scraped media tags in the order a game's picture is chosen, then "video" for its video.
inline constexpr const char* DEFAULT_PREFERENCE = "marquee,composed,wheel,logo,screenshot,image,titleshot,thumbnail,mix,boxart,fanart,video";

struct build_options {
    std::vector<std::string> prefer;  // tags, best first; a video is made only when "video" is listed
    picture_options picture;
    video_options video;
    std::string to;       // a mounted disk or a folder
    std::string package;  // or a package zip, its files kept in PACKAGE.cache for the next run
    unsigned jobs = 0;    // conversions at once; 0: one per core
    frontend_context systems;  // where the systems' pictures come from
};

// The product directory of a disk or folder: DIR itself when it is the product directory
// "vorlix", else DIR/vorlix.
std::string disk_product_directory(const std::string& disk);

// Makes every game's picture and video that is missing or out of date, each from the first of its
// candidates that converts (a picture: every tag of `prefer` in order, each tag's files in
// theirs), and each system's picture (and video from the owner's folder) as system_art finds it,
// named by the system's key; reports each made, skipped and failed file with its reason as it is
// done, then each game with none of the preferred media; and writes the package when one is
// asked for. The disk or folder given, or the package's folder, must exist: only the product
// directory and its tree are made. The systems' cards are drawn under the board root the caller
// set up with the board's font. 0 when nothing failed, 1 otherwise.
int build_media(const std::vector<scraped_game>& games, const build_options& options);
