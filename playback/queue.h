// The decoded-frame queue: frames travel as buffer references from the video sink's handoff to
// the video thread, which draws and releases them.
#pragma once

#include <gst/gst.h>

#include <atomic>
#include <cstdint>

// Frames the decoder queue holds before the producer drops the oldest.
inline constexpr int DECODER_QUEUE_CAPACITY = 6;

// One queued frame: a reference owned by the record, and its number within the stream from 1.
struct video_buffer {
    GstBuffer* buffer;
    int64_t id;
};

struct linkqueue_node {
    video_buffer* data;
    linkqueue_node* next;
};

// Bounded FIFO; `front` is a sentinel node, the oldest element is the node after it.
struct _linkqueue_ {
    int capacity;
    // Read without the lock by the full/empty hints, so it is atomic.
    std::atomic<int> count;
    linkqueue_node* front;
    linkqueue_node* rear;
};

// The size a frame is drawn at: luma stride and the chroma plane's offset in rows.
struct frame_geometry {
    int width;
    int height;
};

// The decoder queue: created at start-up, released at shutdown, after its users have ended.
extern _linkqueue_* decoder_list;

_linkqueue_* linkqueue_init(int capacity);
linkqueue_node* linkqueue_node_create(video_buffer* data);
// Takes ownership of `vb` on success; -1 for a null record or a full queue.
int linkqueue_enqueue(_linkqueue_* q, video_buffer* vb);
// Moves the oldest record into `out` and frees it; -1 (with `out` untouched) when empty.
int linkqueue_dequeue(_linkqueue_* q, video_buffer* out);
// Hints read without the lock; the next locked operation gives the real answer.
bool linkqueue_isfull(const _linkqueue_* q);
bool linkqueue_isempty(const _linkqueue_* q);
// Releases the queue together with any frames still in it.
void linkqueue_free(_linkqueue_* q);

int init_decoder_queue();
void clear_decoder_queue();
void release_decoder_queue();

// The video sink's "handoff" handler: queues a new reference to the frame (no pixel copy).
void processNewBuffer(GstElement* sink, GstBuffer* buffer, GstPad* pad, void* user_data);
// Releases a frame's reference; -1 for a null buffer.
int wld_destroy_buffer(GstBuffer* buffer);

// Forgets the stream geometry and the frame counter, so the next frame starts a new stream.
void reset_stream_geometry();
// The geometry of the current stream, {0, 0} before its first frame.
frame_geometry get_stream_geometry();
// The geometry a queued frame was taken with, {0, 0} for a frame that did not pass the handoff.
frame_geometry get_frame_geometry(GstBuffer* buffer);
