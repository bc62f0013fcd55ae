// The GL renderer: draws one frame held in memory (I420, NV12 or RGBA) stretched over the
// current viewport and presents it through the display device.
#pragma once

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
#ifdef TAVIMORO_FACTORY
// Fills the whole output, not only the viewport, with one colour and presents it.
void draw_color(float r, float g, float b);
#endif
