// tavimoro-media scan: what the board shows for every game now, found by the player's own lookup
// on the disk, and what it will show after a build, with the source each game would use.
#pragma once

#include "host/kit/library.h"
#include "host/common/lookup_keys.h"
#include "host/kit/system_scan.h"

#include <string>
#include <vector>

struct prediction {
    const scraped_game* game;
    lookup_keys keys;
    std::string picture, video;  // what the board's lookup finds on the disk now
    // What a build makes the game's picture and video from ("": nothing; the board then keeps
    // what it has now).
    std::string picture_tag, picture_source, video_source;
    std::vector<std::string> picture_logos;  // a composed picture's logos
    std::string why_none;  // why a build makes no picture: no preferred media, or its files missing
    const char* shows_now() const;
    const char* shows_after() const;
};

// The four things the band can show, in the order summaries list them.
inline constexpr const char* SHOWS[] = {"picture and video", "picture only", "video only", "title card"};

// The predictions of `games` against the product directory `product` (which may not exist: an
// empty disk) with the build's preference `prefer`.
std::vector<prediction> predict_games(const std::vector<scraped_game>& games, const std::string& product,
                                      const std::vector<std::string>& prefer);

// How many of `predictions` show `shown`, now or after a build.
size_t count_shows(const std::vector<prediction>& predictions, const char* shown, bool after);

// The games, then the systems.
void print_table(const std::vector<prediction>& predictions, const std::vector<system_prediction>& systems,
                 const std::string& product);
void print_json(const std::vector<prediction>& predictions, const std::vector<system_prediction>& systems,
                const std::string& product);

// `file` relative to the product directory, as the tables name the board's files.
std::string relative_to(const std::string& file, const std::string& product);

// Text that is valid UTF-8 whatever `text` holds: a byte that starts no valid character is
// written as \xHH. A name cut to the board's length may end inside a character.
std::string utf8_text(const std::string& text);

// Standard output goes to /dev/null while one lives: the player's lookup and banner code log
// there, where the kit writes its report.
class QuietStdout {
public:
    QuietStdout();
    ~QuietStdout();
    QuietStdout(const QuietStdout&) = delete;
    QuietStdout& operator=(const QuietStdout&) = delete;

private:
    int saved_;
};
