// Media lookup: finds a game's video and picture on the USB disk by its lower-cased name. The
// player and the host's media kit both use it, so that the kit predicts exactly what the board finds.
#pragma once

#include "media/banner_record.h"

// Fill the empty `video_file` / `image_file` fields of `info` with the first files under `dir`
// (walked depth first in listing order) whose lower-cased base name equals the key. Returns
// the number of fields filled by files directly in `dir`, or -1 when `dir` cannot be opened.
int find_image_video_with_title(const char* dir, const char* title, banner_bar_t* info);

// The same, accepting a second key (the ROM name) and ".avi" videos as well.
int find_image_video_with_title_romname(const char* dir, const char* title, const char* romname,
                                        banner_bar_t* info);

// The player's whole search for a named game: lower-cases `name` and `romname` (empty: none) and
// walks the media trees below the product directory `product_dir` in their order, the next one
// only while a field of `info` is still empty. Returns the result of the last walk.
int find_game_media(const char* product_dir, const char* name, const char* romname, banner_bar_t* info);
