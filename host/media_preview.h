// tavimoro-media preview: the band as the board shows a game, drawn by the player's banner code.
#pragma once

#include <string>

// Draws, with the player's own composition on SDL surfaces, the game's picture `picture` (its
// title card of `title` when there is none or it cannot be loaded) and, below it, the first
// frame of the scrolling `leaderboard` when there is one; saves it as the PNG `output`. The
// board's font is read under the board root, which the caller has set up. 0, or -1 with a message.
int write_preview(const std::string& picture, const std::string& title, const std::string& leaderboard,
                  const std::string& output);
