// tavimoro-media scan --html: the library's coverage as one page, the owner's checklist before
// filling the disk.
#pragma once

#include "host/kit/media_scan.h"

#include <string>
#include <vector>

// Writes DIR/index.html (DIR is made when its parent exists): a summary, filters by system and
// by what the board will show, and a row per game with its band as the board will show it after
// a build (drawn by the banner code, under the board root the caller set up), its keys and its
// source or why it has none. Everything is inside the one file: it opens from disk. 0, or -1
// with a message. Below, a row per system: its key, what the board shows now and the source a
// build would use.
int write_coverage_page(const std::vector<prediction>& predictions, const std::vector<system_prediction>& systems,
                        const std::string& product, const std::string& dir);
