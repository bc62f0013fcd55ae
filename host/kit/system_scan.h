// What the board shows for each system now, found by the player's own lookup under the system's
// key, and what a build makes its picture from; as rows of the scan's table and its JSON.
#pragma once

#include "host/kit/system_art.h"

#include <cjson/cJSON.h>

#include <string>
#include <vector>

struct system_prediction {
    const library_system* system;
    std::string picture, video;  // what the board's lookup finds on the disk now
    const char* shows_now() const;
    const char* shows_after() const;  // a build always makes a picture: its logo or its card
    std::string source() const;       // what a build makes the picture (and video) from
};

std::vector<system_prediction> predict_systems(const std::vector<library_system>& systems, const std::string& product);

void print_systems_table(const std::vector<system_prediction>& predictions);
// The "systems" array of the scan's JSON document.
cJSON* systems_json(const std::vector<system_prediction>& predictions, const std::string& product);
