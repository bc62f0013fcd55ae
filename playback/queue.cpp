// The decoded-frame queue between the video sink's streaming thread and the video thread.
#include "playback/queue.h"

#include <gst/video/video.h>

#include <cstdio>
#include <mutex>

_linkqueue_* decoder_list = nullptr;

namespace {

// Guards every append and removal. A module-level mutex outlives every queue, so a late caller
// never locks a destroyed one.
std::mutex queue_mutex;

// Geometry of the current stream, set by its first frame; both 0 until then.
std::atomic<int> width{0};
std::atomic<int> height{0};
std::atomic<int64_t> framecount{0};

// Each queued frame carries the geometry of its own stream, so a frame removed just before a
// stop is never drawn with the next stream's geometry.
GQuark geometry_quark()
{
    static const GQuark quark = g_quark_from_static_string("tavimoro-frame-geometry");
    return quark;
}

void set_frame_geometry(GstBuffer* buffer, frame_geometry geometry)
{
    gst_mini_object_set_qdata(GST_MINI_OBJECT_CAST(buffer), geometry_quark(),
                              g_memdup2(&geometry, sizeof geometry), g_free);
}

// The renderer's size for the stream whose first frame this is: luma stride and chroma offset
// in rows from the video meta, the caps' size without one.
void take_stream_geometry(GstBuffer* buffer, GstPad* pad)
{
    int caps_width = 0;
    int caps_height = 0;
    if (GstCaps* caps = gst_pad_get_current_caps(pad)) {
        if (gst_caps_get_size(caps) > 0) {
            const GstStructure* s = gst_caps_get_structure(caps, 0);
            gst_structure_get_int(s, "width", &caps_width);
            gst_structure_get_int(s, "height", &caps_height);
        }
        gst_caps_unref(caps);
    }
    int fixed_width = caps_width;
    int fixed_height = caps_height;
    const GstVideoMeta* meta = gst_buffer_get_video_meta(buffer);
    if (meta) {
        printf("meta width=%d\n", static_cast<int>(meta->width));
        printf("meta height=%d\n", static_cast<int>(meta->height));
        printf("meta stride0=%d\n", meta->stride[0]);
        printf("meta stride1=%d\n", meta->stride[1]);
        printf("meta offset0=%d\n", static_cast<int>(meta->offset[0]));
        printf("meta offset1=%d\n", static_cast<int>(meta->offset[1]));
        printf("meta n_planes=%d\n", static_cast<int>(meta->n_planes));
        printf("video buf size=%d\n", static_cast<int>(gst_buffer_get_size(buffer)));
        // A meta without a luma stride cannot describe the planes; keep the caps' size then.
        if (meta->stride[0] > 0) {
            fixed_width = meta->stride[0];
            fixed_height = static_cast<int>(meta->offset[1] / static_cast<unsigned>(meta->stride[0]));
        }
    }
    printf("width=%d\n", caps_width);
    printf("height=%d\n", caps_height);
    printf("fixed width=%d\n", fixed_width);
    printf("fixed height=%d\n", fixed_height);
    width = fixed_width;
    height = fixed_height;
}

// Empties the decoder queue, releasing and logging each frame with the caller's wording.
void drain_decoder_queue(const char* who, const char* id_line, const char* null_line)
{
    if (!decoder_list)
        return;
    video_buffer removed;
    while (!linkqueue_isempty(decoder_list)) {
        if (linkqueue_dequeue(decoder_list, &removed) != 0)
            break;
        if (removed.buffer) {
            wld_destroy_buffer(removed.buffer);
            printf(id_line, who, static_cast<long long>(removed.id));
        } else {
            printf(null_line, who);
        }
    }
}

} // namespace

_linkqueue_* linkqueue_init(int capacity)
{
    auto* q = new _linkqueue_{};
    q->capacity = capacity;
    q->count = 0;
    q->front = linkqueue_node_create(nullptr);
    q->rear = q->front;
    return q;
}

linkqueue_node* linkqueue_node_create(video_buffer* data)
{
    return new linkqueue_node{data, nullptr};
}

int linkqueue_enqueue(_linkqueue_* q, video_buffer* vb)
{
    if (!vb)
        return -1;
    std::lock_guard lock(queue_mutex);
    if (q->count == q->capacity)
        return -1;
    linkqueue_node* node = linkqueue_node_create(vb);
    q->rear->next = node;
    q->rear = node;
    ++q->count;
    return 0;
}

int linkqueue_dequeue(_linkqueue_* q, video_buffer* out)
{
    if (!out)
        return -1;
    std::lock_guard lock(queue_mutex);
    if (q->count == 0)
        return -1;
    linkqueue_node* oldest = q->front->next;
    *out = *oldest->data;
    delete oldest->data;
    oldest->data = nullptr;
    // The oldest node becomes the sentinel (and stays the rear when it was the last).
    delete q->front;
    q->front = oldest;
    --q->count;
    return 0;
}

bool linkqueue_isfull(const _linkqueue_* q)
{
    return q->count == q->capacity;
}

bool linkqueue_isempty(const _linkqueue_* q)
{
    return q->count == 0;
}

void linkqueue_free(_linkqueue_* q)
{
    if (!q)
        return;
    video_buffer left;
    while (linkqueue_dequeue(q, &left) == 0)
        wld_destroy_buffer(left.buffer);
    delete q->front;
    delete q;
}

int init_decoder_queue()
{
    if (!decoder_list)
        decoder_list = linkqueue_init(DECODER_QUEUE_CAPACITY);
    return 0;
}

void clear_decoder_queue()
{
    drain_decoder_queue("clear_decoder_queue", "%s id=%lld\n", "%s buffer is null\n");
}

void release_decoder_queue()
{
    drain_decoder_queue("release_decoder_queue", "%s-->id=%lld\n", "%s-->buffer is null\n");
    linkqueue_free(decoder_list);
    decoder_list = nullptr;
}

void processNewBuffer(GstElement* /*sink*/, GstBuffer* buffer, GstPad* pad, void* /*user_data*/)
{
    const int64_t id = ++framecount;
    if (width == 0 && height == 0)
        take_stream_geometry(buffer, pad);
    // A new buffer sharing the decoder's memory: metadata copied, pixels referenced.
    GstBuffer* frame = gst_buffer_copy(buffer);
    set_frame_geometry(frame, {width, height});
    if (!decoder_list) {
        wld_destroy_buffer(frame);
        return;
    }
    // Dropping the oldest and appending are two locked steps; the consumer may take a frame in
    // between, which only leaves one more free place.
    video_buffer oldest;
    if (linkqueue_isfull(decoder_list) && linkqueue_dequeue(decoder_list, &oldest) == 0)
        wld_destroy_buffer(oldest.buffer);
    auto* record = new video_buffer{frame, id};
    if (linkqueue_enqueue(decoder_list, record) != 0) {
        wld_destroy_buffer(frame);
        delete record;
    }
}

int wld_destroy_buffer(GstBuffer* buffer)
{
    if (!buffer)
        return -1;
    gst_buffer_unref(buffer);
    return 0;
}

void reset_stream_geometry()
{
    width = 0;
    height = 0;
    framecount = 0;
}

frame_geometry get_stream_geometry()
{
    return {width, height};
}

frame_geometry get_frame_geometry(GstBuffer* buffer)
{
    const auto* g = static_cast<const frame_geometry*>(
        gst_mini_object_get_qdata(GST_MINI_OBJECT_CAST(buffer), geometry_quark()));
    return g ? *g : frame_geometry{0, 0};
}
