// Keeps a demuxer's first error from being lost while decodebin plugs it: the first data a
// decodebin pulls through its type finder waits until decodebin has plugged the element for the
// type found.
#pragma once

#include <gst/gst.h>

// Gates the type finder of `decodebin` (a decodebin element; anything else is left alone). The
// gate lives as long as the type finder. Call it before the decodebin leaves the NULL state.
void gate_decodebin(GstElement* decodebin);
