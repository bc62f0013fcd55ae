// Turning a scraped picture or video into what the board shows, with GStreamer: pictures scaled
// into the 1920x360 band (Lanczos), videos transcoded to H.264 in MP4.
#pragma once

#include <chrono>
#include <string>

// A conversion that makes no progress for this long (no new data read from its file, decoded or
// reaching its output) is given up with "no progress for N s": a stuck decoder or a source that
// delivers nothing more never holds a worker for good.
inline constexpr std::chrono::seconds NO_PROGRESS_LIMIT{15};

// How a picture of another shape fills the band: fitted inside on black, on a colour or on a
// blurred, darkened fill made from the picture itself; or scaled to cover the band and cropped.
enum class fit_mode { black, colour, blur, crop };

struct picture_options {
    fit_mode mode = fit_mode::black;
    unsigned rgb = 0;  // the background for fit_mode::colour, 0xRRGGBB
    std::chrono::milliseconds no_progress = NO_PROGRESS_LIMIT;  // the tool keeps the limit; tests shorten it
};

struct video_options {
    int box_width = 1920;  // the video is fitted inside this box, aspect kept
    int box_height = 360;
    bool audio = false;    // keep the sound (AAC) or drop it
    std::chrono::milliseconds no_progress = NO_PROGRESS_LIMIT;  // as for pictures
};

// GStreamer and SDL_image set up once, before any worker starts; 0 or -1.
int media_convert_init();

// Converts the picture `source` (PNG, JPEG, WebP, GIF: its first frame, or another format
// GStreamer decodes) into a 1920x360 PNG written to the open, empty file `fd` (taken over,
// closed here). 0, or -1 with `error` saying why.
int convert_picture(const std::string& source, int fd, const picture_options& options, std::string& error);

// Transcodes the video `source` into an MP4 written to the open, empty file `fd` (taken over).
// 0, or -1 with `error` saying why.
int convert_video(const std::string& source, int fd, const video_options& options, std::string& error);

// Whether `file` is an animated picture the kit reads the frames of: a GIF of more than one
// frame (SDL_image 2.6 reads the frames of no other format).
bool animated_picture(const std::string& file);

// Makes the animated picture `source` a video: H.264 in MP4 at the band's size, each frame fitted
// as `options` fit the picture and shown as long as the file says, at 30 frames a second, written
// to the open, empty file `fd` (taken over). Its first frame is the picture convert_picture makes.
// 0, or -1 with `error` saying why.
int convert_animation(const std::string& source, int fd, const picture_options& options, std::string& error);

// The size of a `width`x`height` picture fitted inside `box_width`x`box_height`, aspect kept
// (at least 1x1); `even` rounds both down to even numbers, as 4:2:0 needs.
void fit_size(int width, int height, int box_width, int box_height, bool even, int& fit_width, int& fit_height);
