// Off the board, frames are made to look like the hardware decoder's: NV12 with a video meta.
#pragma once

#include <gst/gst.h>

// A bin that converts whatever the software decoder delivers into NV12, gives every frame a
// GstVideoMeta, and ends in `video_sink`. The bin takes its own reference to the sink. Null
// when an element is missing.
GstElement* make_decoder_standin(GstElement* video_sink);
