// Drawing a system's picture for the band: an SVG logo fitted inside it on black, the card of its
// full name as the board draws a title card, or another picture converted as a game's.
#pragma once

#include "host/kit/media_convert.h"
#include "host/kit/system_art.h"

#include <string>
#include <vector>

// Draws every system's card with the banner code, on this thread (the banner code is not made for
// several at once), under the board root the caller set up with the board's font. A card that
// cannot be drawn stays empty.
void draw_system_cards(std::vector<library_system>& systems);

// Writes the system's picture from `source` (one of system.picture) as a 1920x360 PNG into the
// open, empty file `fd` (taken over, closed here); safe on several threads. 0, or -1 with `error`
// saying why.
int convert_system_picture(const media_source& source, const library_system& system, int fd,
                           const picture_options& options, std::string& error);
