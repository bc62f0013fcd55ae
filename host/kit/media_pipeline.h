// The GStreamer plumbing the conversions share: owned elements and messages, a pipeline that is
// stopped whatever path leaves, the bus's errors, and the no-progress watchdog.
#pragma once

#include <gst/gst.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <type_traits>

// How often a waiting conversion looks at its pipeline's progress.
inline constexpr GstClockTime POLL = 100 * GST_MSECOND;

struct GstUnref {
    void operator()(gpointer object) const { gst_object_unref(object); }
};
struct GstMessageUnref {
    void operator()(GstMessage* message) const { gst_message_unref(message); }
};
struct GstSampleUnref {
    void operator()(GstSample* sample) const { gst_sample_unref(sample); }
};
using UniqueElement = std::unique_ptr<GstElement, GstUnref>;
using UniqueMessage = std::unique_ptr<GstMessage, GstMessageUnref>;

// A pipeline that is set to NULL before it is released, whatever path leaves the function.
struct Pipeline {
    UniqueElement element;
    ~Pipeline()
    {
        if (element)
            gst_element_set_state(element.get(), GST_STATE_NULL);
    }
    UniqueElement child(const char* name) const
    {
        return UniqueElement(gst_bin_get_by_name(GST_BIN(element.get()), name));
    }
};

int launch(const std::string& description, Pipeline& pipeline, std::string& error);

std::string error_text(GstMessage* message);

std::string seconds_text(std::chrono::milliseconds time);

// When a pipeline last moved data: buffer probes on its pads note the time, and the thread that
// waits on the pipeline gives it up once nothing has moved for the limit. Declared before the
// Pipeline it watches, so that the pipeline's threads have stopped when it goes.
class Progress {
public:
    Progress() { touch(); }
    void touch() { last_.store(now(), std::memory_order_relaxed); }
    // Watches the data through `pad` of the pipeline's element `element`, if it has one.
    void watch(const Pipeline& pipeline, const char* element, const char* pad);
    bool stalled(std::chrono::milliseconds limit) const
    {
        return now() - last_.load(std::memory_order_relaxed) > std::chrono::nanoseconds(limit).count();
    }

private:
    static int64_t now() { return std::chrono::steady_clock::now().time_since_epoch().count(); }
    static GstPadProbeReturn on_data(GstPad*, GstPadProbeInfo*, gpointer self);
    static_assert(std::is_same_v<std::chrono::steady_clock::duration, std::chrono::nanoseconds>);
    std::atomic<int64_t> last_;
};

// The text of an error message on the pipeline's bus, if one is there.
bool bus_error(const Pipeline& pipeline, GstClockTime wait, std::string& error);

// Where a stalled video stopped: "at 0:03.2 of the video", as far as GStreamer tells.
std::string position_text(const Pipeline& pipeline);
