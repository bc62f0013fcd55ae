// The GStreamer plumbing the conversions share.
#include "host/kit/media_pipeline.h"

#include <cstdio>

int launch(const std::string& description, Pipeline& pipeline, std::string& error)
{
    GError* parse_error = nullptr;
    pipeline.element.reset(gst_parse_launch(description.c_str(), &parse_error));
    if (parse_error) {
        error = std::string("GStreamer: ") + parse_error->message;
        g_error_free(parse_error);
        return -1;
    }
    return 0;
}

std::string error_text(GstMessage* message)
{
    GError* failure = nullptr;
    gst_message_parse_error(message, &failure, nullptr);
    std::string text = failure ? failure->message : "unknown GStreamer error";
    if (failure)
        g_error_free(failure);
    return text;
}

std::string seconds_text(std::chrono::milliseconds time)
{
    char text[32];
    snprintf(text, sizeof text, "%g s", static_cast<double>(time.count()) / 1000);
    return text;
}

void Progress::watch(const Pipeline& pipeline, const char* element, const char* pad)
{
    UniqueElement child = pipeline.child(element);
    std::unique_ptr<GstPad, GstUnref> watched(child ? gst_element_get_static_pad(child.get(), pad) : nullptr);
    if (watched)
        gst_pad_add_probe(watched.get(),
                          static_cast<GstPadProbeType>(GST_PAD_PROBE_TYPE_BUFFER | GST_PAD_PROBE_TYPE_BUFFER_LIST),
                          on_data, this, nullptr);
}

GstPadProbeReturn Progress::on_data(GstPad*, GstPadProbeInfo*, gpointer self)
{
    static_cast<Progress*>(self)->touch();
    return GST_PAD_PROBE_OK;
}

bool bus_error(const Pipeline& pipeline, GstClockTime wait, std::string& error)
{
    std::unique_ptr<GstBus, GstUnref> bus(gst_element_get_bus(pipeline.element.get()));
    UniqueMessage message(gst_bus_timed_pop_filtered(bus.get(), wait, GST_MESSAGE_ERROR));
    if (!message)
        return false;
    error = error_text(message.get());
    return true;
}

std::string position_text(const Pipeline& pipeline)
{
    gint64 position = -1;
    if (!gst_element_query_position(pipeline.element.get(), GST_FORMAT_TIME, &position) || position < 0)
        return "before its first frame";
    char text[48];
    double seconds = static_cast<double>(position) / GST_SECOND;
    int minutes = static_cast<int>(seconds / 60);
    snprintf(text, sizeof text, "at %d:%04.1f of the video", minutes, seconds - 60 * minutes);
    return text;
}
