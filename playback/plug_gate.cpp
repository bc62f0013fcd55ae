// decodebin drops the errors of an element it plugs until it has finished plugging it (so that a
// decoder it only tries does not fail the pipeline). A demuxer that reads the file in pull mode
// (qtdemux, matroskademux, ...) runs a thread of its own from the moment it is started, before
// decodebin stops filtering its errors: a cut MP4 (no moov atom) makes qtdemux fail within
// microseconds, and when the cores are busy its "no playable streams" can fall into that window
// and be dropped; qtdemux stops, nothing else comes, and whoever waits on the bus waits for ever.
// The gate holds the first data pulled through decodebin's typefind until decodebin's own
// handler of the type found (which plugs the demuxer and stops filtering) has returned, so the
// demuxer's errors reach the bus. (Reading in push mode instead, through a queue, avoids the
// window too, but then about one good MP4 in 250 never ended under load.)
#include "playback/plug_gate.h"

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>

namespace {

// Should decodebin's handler never return (it plugs in a few milliseconds), the demuxer goes on
// after this.
constexpr auto MOST_HELD = std::chrono::seconds(5);
constexpr const char* GATE_KEY = "tavimoro-plug-gate";

// One lock and one signal for every gate. A gate is made on the thread that sets a pipeline up
// and used on streaming threads, handed over by GStreamer's own locks, which ThreadSanitizer
// cannot see: a lock that lives as long as the program orders both (a gate's own would be made
// with the gate, on the wrong side of the hand-over).
std::mutex gates_mutex;
std::condition_variable gate_opened;

struct gate {
    bool open = false;  // guarded by gates_mutex
};

void on_plugged(GstElement*, guint, GstCaps*, gpointer data)
{
    std::lock_guard lock(gates_mutex);
    static_cast<gate*>(data)->open = true;
    gate_opened.notify_all();
}

GstPadProbeReturn on_pull(GstPad*, GstPadProbeInfo*, gpointer data)
{
    auto* g = static_cast<gate*>(data);
    std::unique_lock lock(gates_mutex);
    gate_opened.wait_for(lock, MOST_HELD, [&] { return g->open; });
    return GST_PAD_PROBE_REMOVE;
}

// Called when the type finder goes, from whichever thread drops it last.
void release_gate(gpointer data)
{
    std::lock_guard lock(gates_mutex);
    delete static_cast<gate*>(data);
}

struct GstUnref {
    void operator()(gpointer object) const { gst_object_unref(object); }
};

} // namespace

void gate_decodebin(GstElement* decodebin)
{
    GstElementFactory* factory = decodebin ? gst_element_get_factory(decodebin) : nullptr;
    if (!factory || strcmp(GST_OBJECT_NAME(factory), "decodebin") != 0)
        return;
    std::unique_ptr<GstElement, GstUnref> typefind(gst_bin_get_by_name(GST_BIN(decodebin), "typefind"));
    std::unique_ptr<GstPad, GstUnref> pulled(typefind ? gst_element_get_static_pad(typefind.get(), "src") : nullptr);
    if (!pulled)
        return;
    // The type finder owns its gate. A decodebin used again (playbin keeps one for each of its
    // two source groups) finds the type again: its gate closes for that run.
    std::unique_lock lock(gates_mutex);
    auto* g = static_cast<gate*>(g_object_get_data(G_OBJECT(typefind.get()), GATE_KEY));
    if (!g) {
        g = new gate;
        g_object_set_data_full(G_OBJECT(typefind.get()), GATE_KEY, g, release_gate);
        g_signal_connect_after(typefind.get(), "have-type", G_CALLBACK(on_plugged), g);
    }
    g->open = false;
    lock.unlock();
    gst_pad_add_probe(pulled.get(), static_cast<GstPadProbeType>(GST_PAD_PROBE_TYPE_PULL | GST_PAD_PROBE_TYPE_BUFFER),
                      on_pull, g, nullptr);
}
