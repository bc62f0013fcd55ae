// Sample media for a simulated USB disk and read-only area, generated on the spot.
#pragma once

#include <string>

// A picture of `width`×`height` with a colour gradient and `caption`, written as PNG or JPEG
// according to the file's extension. 0, or -1 on failure.
int make_sample_picture(const std::string& file, int width, int height, const std::string& caption,
                        unsigned rgb);

// An H.264 MP4 clip of a test pattern, `seconds` long, `width`×`height` at 30 frames a second.
int make_sample_clip(const std::string& file, const std::string& pattern, int seconds, int width, int height);

// The sample disk and boot media under a board root (see the README for the games it holds).
int make_sample_media(const std::string& root);
