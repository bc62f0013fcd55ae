// The GL renderer: draws one frame held in memory (I420, NV12 or RGBA) stretched over the
// current viewport, or slices of a strip uploaded once, and presents it through the display device.
#pragma once

#include <functional>

// Frame formats, each with its own program.
inline constexpr int SHADER_INDEX_I420 = 0;
inline constexpr int SHADER_INDEX_NV12 = 1;
inline constexpr int SHADER_INDEX_RGBA = 2;

// Brings the display up and builds programs and textures; 0, or -1 when the display cannot be
// brought up (nothing is built then). The GL context stays current on the calling thread.
int init_opengl();
void deinit_opengl();
// Format of the following frames; may be called from any thread.
void set_shader_index(int index);
void set_video_size(int width, int height);
// Viewport of the following frames, GL convention (lower-left corner, origin bottom-left).
void set_view_port(int x, int y, int width, int height);
// Draws a frame of the current format and presents it. The bytes are read only during the call.
void draw_frame(char* data, int width, int height);
// Uploads a frame of the current format without drawing it (the bytes are read only during the
// call); -1 when the format is unknown or the frame has no pixels.
int upload_frame(char* data, int width, int height);
// True when a frame of the current format was uploaded since bring-up.
bool frame_uploaded();
// Draws the frame last uploaded in the current format again, without uploading it, and
// presents it; -1, drawing nothing, when no frame of that format was uploaded since bring-up.
int redraw_frame();

// A strip is an opaque RGBA picture of any width (a scroll's text), held as textures of at most
// 256 columns and no wider than the GPU takes (or TAVIMORO_TEXTURE_LIMIT columns when the display
// comes up: 0 allows no strip at all). Columns [x, x + w) of it drawn from column `at`
// of the viewport; anything outside the strip or the viewport is left out.
struct strip_slice {
    int x, w, at;
};
// Uploads a strip `width` x `height`, replacing the one held, one tile at a time: `tile(x, w)`
// gives the pixels of columns [x, x + w), rows without gaps, read only until it is called again
// (null to give up). 0, or -1 with nothing held when the GPU cannot take it.
int upload_strip(int width, int height, const std::function<const void*(int x, int w)>& tile);
// Frees the strip's textures.
void free_strip();
// True when a strip is held (it is freed by a new upload and when the display goes down).
bool strip_uploaded();
// Clears the output to black, draws `count` slices of the strip with its top row at row `top` of
// the viewport (rows counted from its top) and presents.
void draw_strip(const strip_slice* slices, int count, int top);
#ifdef TAVIMORO_FACTORY
// Fills the whole output, not only the viewport, with one colour and presents it.
void draw_color(float r, float g, float b);
#endif
