// Decoder stand-in: software-decoded frames converted to NV12 and described by a video meta.
#include "playback/decoder_standin.h"

#include <gst/video/video.h>

namespace {

// Describes an NV12 frame without a meta by the plain layout of its caps. A shared buffer is
// replaced by a shallow copy first: the pixels stay where they are.
GstPadProbeReturn add_video_meta(GstPad* pad, GstPadProbeInfo* info, gpointer /*user_data*/)
{
    GstBuffer* buffer = GST_PAD_PROBE_INFO_BUFFER(info);
    if (!buffer || gst_buffer_get_video_meta(buffer))
        return GST_PAD_PROBE_OK;
    GstCaps* caps = gst_pad_get_current_caps(pad);
    if (!caps)
        return GST_PAD_PROBE_OK;
    GstVideoInfo video;
    const bool known = gst_video_info_from_caps(&video, caps);
    gst_caps_unref(caps);
    if (!known)
        return GST_PAD_PROBE_OK;
    buffer = gst_buffer_make_writable(buffer);
    gst_buffer_add_video_meta_full(buffer, GST_VIDEO_FRAME_FLAG_NONE, GST_VIDEO_INFO_FORMAT(&video),
                                   GST_VIDEO_INFO_WIDTH(&video), GST_VIDEO_INFO_HEIGHT(&video),
                                   GST_VIDEO_INFO_N_PLANES(&video), video.offset, video.stride);
    GST_PAD_PROBE_INFO_DATA(info) = buffer;
    return GST_PAD_PROBE_OK;
}

} // namespace

GstElement* make_decoder_standin(GstElement* video_sink)
{
    GstElement* convert = gst_element_factory_make("videoconvert", nullptr);
    GstElement* filter = gst_element_factory_make("capsfilter", nullptr);
    if (!convert || !filter) {
        if (convert)
            gst_object_unref(convert);
        if (filter)
            gst_object_unref(filter);
        return nullptr;
    }
    GstCaps* nv12 = gst_caps_from_string("video/x-raw,format=NV12");
    g_object_set(filter, "caps", nv12, nullptr);
    gst_caps_unref(nv12);

    GstElement* bin = gst_bin_new("decoder_standin");
    gst_bin_add_many(GST_BIN(bin), convert, filter, video_sink, nullptr);
    gst_element_link_many(convert, filter, video_sink, nullptr);

    GstPad* convert_sink = gst_element_get_static_pad(convert, "sink");
    gst_element_add_pad(bin, gst_ghost_pad_new("sink", convert_sink));
    gst_object_unref(convert_sink);

    GstPad* sink_pad = gst_element_get_static_pad(video_sink, "sink");
    gst_pad_add_probe(sink_pad, GST_PAD_PROBE_TYPE_BUFFER, add_video_meta, nullptr, nullptr);
    gst_object_unref(sink_pad);
    return bin;
}
