// A system's own picture and video for the band: the owner's art, else the system logo of the
// frontend's active theme, else a card of the system's full name. Found from the libraries the
// kit was given; build makes them under the system's key, scan says what the board shows.
#pragma once

#include "host/kit/library.h"
#include "host/kit/media_choice.h"

#include <cstdint>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

// A theme's folder, its name as the report gives it, and where the theme keeps a system's logo
// (paths in the folder, "%s" standing for the system's short name), best first.
struct theme_folder {
    std::filesystem::path folder;
    std::string name;
    std::vector<std::string> logos;
};

// Where a system's art comes from: the owner's folder, the active theme of each frontend the
// libraries belong to, the full names the frontends' system lists give.
struct frontend_context {
    std::filesystem::path art_folder;
    std::vector<theme_folder> themes;
    std::map<std::string, std::string> full_names;  // short name -> full name
};

// The context of `libraries` (as the kit was given them) with the owner's folder `art_folder`
// ("" when none).
frontend_context find_frontends(const std::vector<std::string>& libraries, const std::string& art_folder);

inline constexpr const char* SYSTEM_ART_TAG = "system-art";
inline constexpr const char* CARD_TAG = "card";

// The system's logo: the first that exists of <system>.png, .svg, .jpg in the owner's folder,
// then the logo of the first theme that has one, tagged "theme <name>". Its file is "" when there
// is none.
media_source system_logo(const std::string& system, const frontend_context& context);

struct library_system {
    std::string system;  // the short name
    std::string key;     // the file name the board finds it by, without extension
    std::string title;   // its full name, or the short name
    std::vector<media_source> picture;  // its logo when there is one, then its card (CARD_TAG, no file)
    std::vector<media_source> video;    // the owner's <system>.mp4 when there is one
    std::vector<uint8_t> card;          // the card as PNG, once drawn (draw_system_cards)
};

// The systems of `games`, each once, in the order they first come.
std::vector<library_system> library_systems(const std::vector<scraped_game>& games, const frontend_context& context);
