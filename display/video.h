// The video thread: the only thread that draws. In video mode it draws decoded frames from the
// decoder queue, in image mode it draws the current picture whenever it changes, and it tears
// the display down on its own thread when stopped.
#pragma once

#include <gst/gst.h>

// What the video thread draws; any other value draws nothing.
inline constexpr int VIDEO_MODE_VIDEO = 1;
inline constexpr int VIDEO_MODE_IMAGE = 2;
#ifdef TAVIMORO_FACTORY
// The factory test fills the whole output with one colour.
inline constexpr int VIDEO_MODE_COLOR = 3;
#endif

// Registers what image mode draws, so that this layer needs to know nothing of pictures: the
// program registers the banner layer's draw_image. Image mode draws nothing until then.
void set_image_drawer(void (*draw)());
// Tells the video thread that the picture image mode draws has changed. A still picture is drawn
// once: again only after such a request, when the screen comes back on, or after another mode
// drew. Never blocks on the video thread; may be called with the image mutex held.
void request_image_redraw();
// Draws one queued frame and releases it; -1 when it has no geometry or there is no buffer.
int render_texture(GstBuffer* buffer);

// Starts the thread: 0 when started, 1 when it already exists, -1 when it cannot be created.
int init_video_thread();
// Stops the thread, if there is one, and waits until the display is torn down.
void deinit_video_thread();
// Selects what the following passes draw, without changing the frame format.
void set_video_mode(int mode);
// Video mode with the NV12 format, or image mode with the RGBA format, switched together.
void show_video_mode();
void show_image_mode();
#ifdef TAVIMORO_FACTORY
// The colour the colour mode fills with, each of red, green and blue from 0.0 to 1.0.
void set_video_color(float r, float g, float b);
// Colour mode; the frame format is left as it is.
void show_color_mode();
#endif
// The thread body; returns 0.
int video_proc(void* arg);
