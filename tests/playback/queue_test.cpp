// The decoded-frame queue: ordering, dropping the oldest, buffer ownership and stream geometry.
#include "display/opengl.h"
#include "display/video.h"
#include "playback/queue.h"
#include "tests/display/display_test_support.h"
#include "tests/playback/frame_consumer.h"

#include <gst/video/video.h>

#include <array>
#include <atomic>
#include <cstring>
#include <string>

namespace {

using playback_test::BAND_HEIGHT;
using playback_test::BAND_WIDTH;

constexpr int LUMA_STRIDE = 1920;
constexpr int ALIGNED_ROWS = 1088;
constexpr int SMALL_WIDTH = 64;
constexpr int SMALL_HEIGHT = 48;
constexpr GstClockTime HANDOFF_TIMEOUT = 5 * GST_SECOND;
constexpr uint8_t LIGHT_LUMA = 200;
constexpr uint8_t BLACK_LUMA = 16;
constexpr uint8_t NEUTRAL_CHROMA = 128;
// Screen values well inside the light picture and the black padding.
constexpr uint8_t LIGHT_AT_LEAST = 180;
constexpr uint8_t DARK_AT_MOST = 40;
// How far apart the channels of a neutral grey may come out of the colour conversion.
constexpr int GREY_TOLERANCE = 4;
constexpr auto NOTHING_SHOWN_WAIT = std::chrono::milliseconds(300);

// Which frames' memory has been given back, by frame number.
std::array<std::atomic<int>, 16> memory_freed;

void note_freed(gpointer frame)
{
    memory_freed[GPOINTER_TO_INT(frame)] = 1;
}

gsize nv12_bytes(int stride, int rows)
{
    return gsize(stride) * gsize(rows) * 3 / 2;
}

// A frame of `size` bytes whose memory reports its release in `memory_freed[number]`.
GstBuffer* tracked_frame(int number, gsize size)
{
    memory_freed[number] = 0;
    return gst_buffer_new_wrapped_full(GstMemoryFlags(0), g_malloc0(size), size, 0, size,
                                       GINT_TO_POINTER(number), [](gpointer n) { note_freed(n); });
}

// Like the board's decoder: NV12 whose planes are padded to 16 rows, described by a video meta.
// The picture is light grey, the padding rows black.
GstBuffer* aligned_nv12_frame(int number, int width, int height, int rows)
{
    GstBuffer* buffer = tracked_frame(number, nv12_bytes(width, rows));
    GstMapInfo map;
    gst_buffer_map(buffer, &map, GST_MAP_WRITE);
    const gsize picture = gsize(width) * gsize(height);
    const gsize luma = gsize(width) * gsize(rows);
    memset(map.data, LIGHT_LUMA, picture);
    memset(map.data + picture, BLACK_LUMA, luma - picture);
    memset(map.data + luma, NEUTRAL_CHROMA, map.size - luma);
    gst_buffer_unmap(buffer, &map);
    gsize offsets[GST_VIDEO_MAX_PLANES] = {0, gsize(width) * gsize(rows)};
    gint strides[GST_VIDEO_MAX_PLANES] = {width, width};
    gst_buffer_add_video_meta_full(buffer, GST_VIDEO_FRAME_FLAG_NONE, GST_VIDEO_FORMAT_NV12, width, height, 2,
                                   offsets, strides);
    return buffer;
}

// appsrc ! fakesink, the sink's handoff connected to processNewBuffer: frames reach the queue
// through a real pad carrying the stream's caps.
class Handoff {
public:
    Handoff(int width, int height)
    {
        pipeline_ = gst_parse_launch("appsrc name=src format=time ! fakesink name=sink sync=false "
                                     "signal-handoffs=true",
                                     nullptr);
        GstElement* src = gst_bin_get_by_name(GST_BIN(pipeline_), "src");
        GstCaps* caps = gst_caps_new_simple("video/x-raw", "format", G_TYPE_STRING, "NV12", "width", G_TYPE_INT,
                                            width, "height", G_TYPE_INT, height, "framerate",
                                            GST_TYPE_FRACTION, 0, 1, nullptr);
        g_object_set(src, "caps", caps, nullptr);
        gst_caps_unref(caps);
        src_ = src;
        GstElement* sink = gst_bin_get_by_name(GST_BIN(pipeline_), "sink");
        g_signal_connect(sink, "handoff", G_CALLBACK(processNewBuffer), nullptr);
        gst_object_unref(sink);
        gst_element_set_state(pipeline_, GST_STATE_PLAYING);
    }

    ~Handoff()
    {
        gst_element_set_state(pipeline_, GST_STATE_NULL);
        gst_object_unref(src_);
        gst_object_unref(pipeline_);
    }

    void push(GstBuffer* frame)
    {
        GstFlowReturn flow = GST_FLOW_OK;
        g_signal_emit_by_name(src_, "push-buffer", frame, &flow);
        gst_buffer_unref(frame);
    }

    // Ends the stream and waits until every pushed frame has been handed off.
    bool finish()
    {
        GstFlowReturn flow = GST_FLOW_OK;
        g_signal_emit_by_name(src_, "end-of-stream", &flow);
        GstBus* bus = gst_element_get_bus(pipeline_);
        GstMessage* message = gst_bus_timed_pop_filtered(bus, HANDOFF_TIMEOUT,
                                                         GstMessageType(GST_MESSAGE_EOS | GST_MESSAGE_ERROR));
        const bool ended = message && GST_MESSAGE_TYPE(message) == GST_MESSAGE_EOS;
        if (message)
            gst_message_unref(message);
        gst_object_unref(bus);
        return ended;
    }

private:
    GstElement* pipeline_;
    GstElement* src_;
};

// Frames go through the real renderer on the virtual display, drawn on the test's thread.
class QueueTest : public display_test::DisplayTest {
protected:
    void SetUp() override
    {
        DisplayTest::SetUp();
        gst_init(nullptr, nullptr);
        reset_stream_geometry();
        init_decoder_queue();
        ASSERT_EQ(playback_test::start_band_renderer(), 0);
    }
    void TearDown() override
    {
        deinit_opengl();
        release_decoder_queue();
        DisplayTest::TearDown();
    }

    static video_buffer take()
    {
        video_buffer taken{nullptr, -1};
        EXPECT_EQ(linkqueue_dequeue(decoder_list, &taken), 0);
        return taken;
    }
};

TEST(LinkQueue, KeepsOrderWithinCapacityAndRefusesNullRecords)
{
    _linkqueue_* q = linkqueue_init(2);
    EXPECT_TRUE(linkqueue_isempty(q));
    EXPECT_EQ(linkqueue_enqueue(q, nullptr), -1);
    EXPECT_EQ(linkqueue_dequeue(q, nullptr), -1);

    video_buffer out{nullptr, 42};
    EXPECT_EQ(linkqueue_dequeue(q, &out), -1);
    EXPECT_EQ(out.id, 42) << "an empty queue leaves the output record alone";

    for (int64_t id = 1; id <= 2; ++id)
        EXPECT_EQ(linkqueue_enqueue(q, new video_buffer{nullptr, id}), 0);
    EXPECT_TRUE(linkqueue_isfull(q));
    auto* refused = new video_buffer{nullptr, 3};
    EXPECT_EQ(linkqueue_enqueue(q, refused), -1);
    delete refused;

    EXPECT_EQ(linkqueue_dequeue(q, &out), 0);
    EXPECT_EQ(out.id, 1);
    EXPECT_EQ(linkqueue_enqueue(q, new video_buffer{nullptr, 4}), 0);
    EXPECT_EQ(linkqueue_dequeue(q, &out), 0);
    EXPECT_EQ(out.id, 2);
    EXPECT_EQ(linkqueue_dequeue(q, &out), 0);
    EXPECT_EQ(out.id, 4);
    EXPECT_TRUE(linkqueue_isempty(q));
    linkqueue_free(q);
}

TEST_F(QueueTest, SevenFramesWithNobodyConsumingKeepTheNewestSix)
{
    {
        Handoff handoff(SMALL_WIDTH, SMALL_HEIGHT);
        for (int n = 1; n <= DECODER_QUEUE_CAPACITY + 1; ++n)
            handoff.push(aligned_nv12_frame(n, SMALL_WIDTH, SMALL_HEIGHT, SMALL_HEIGHT));
        ASSERT_TRUE(handoff.finish());
    }
    EXPECT_TRUE(linkqueue_isfull(decoder_list));
    EXPECT_EQ(memory_freed[1], 1) << "the dropped first frame is released";
    for (int64_t id = 2; id <= DECODER_QUEUE_CAPACITY + 1; ++id) {
        video_buffer frame = take();
        EXPECT_EQ(frame.id, id);
        // The queue holds the only reference; the memory is still the decoder's, not a copy.
        EXPECT_EQ(GST_MINI_OBJECT_REFCOUNT_VALUE(frame.buffer), 1);
        EXPECT_EQ(memory_freed[id], 0);
        wld_destroy_buffer(frame.buffer);
        EXPECT_EQ(memory_freed[id], 1);
    }
    EXPECT_TRUE(linkqueue_isempty(decoder_list));
}

TEST_F(QueueTest, ClearingReleasesEveryFrameAndAnEmptyQueueStaysQuiet)
{
    testing::internal::CaptureStdout();
    clear_decoder_queue();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");

    {
        Handoff handoff(SMALL_WIDTH, SMALL_HEIGHT);
        for (int n = 1; n <= 3; ++n)
            handoff.push(aligned_nv12_frame(n, SMALL_WIDTH, SMALL_HEIGHT, SMALL_HEIGHT));
        ASSERT_TRUE(handoff.finish());
    }
    testing::internal::CaptureStdout();
    clear_decoder_queue();
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "clear_decoder_queue id=1\nclear_decoder_queue id=2\nclear_decoder_queue id=3\n");
    EXPECT_TRUE(linkqueue_isempty(decoder_list));
    for (int n = 1; n <= 3; ++n)
        EXPECT_EQ(memory_freed[n], 1) << "frame " << n;
}

TEST_F(QueueTest, VideoMetaGivesLumaStrideAndChromaOffsetInRows)
{
    testing::internal::CaptureStdout();
    {
        Handoff handoff(LUMA_STRIDE, 1080);
        handoff.push(aligned_nv12_frame(1, LUMA_STRIDE, 1080, ALIGNED_ROWS));
        // A later frame with another layout does not change the stream's geometry.
        handoff.push(aligned_nv12_frame(2, SMALL_WIDTH, SMALL_HEIGHT, SMALL_HEIGHT));
        ASSERT_TRUE(handoff.finish());
    }
    const std::string log = testing::internal::GetCapturedStdout();
    EXPECT_NE(log.find("meta stride0=1920\nmeta stride1=1920\nmeta offset0=0\nmeta offset1=2088960\n"),
              std::string::npos)
        << log;
    EXPECT_NE(log.find("width=1920\nheight=1080\nfixed width=1920\nfixed height=1088\n"), std::string::npos)
        << log;

    const frame_geometry stream = get_stream_geometry();
    EXPECT_EQ(stream.width, LUMA_STRIDE);
    EXPECT_EQ(stream.height, ALIGNED_ROWS);

    video_buffer first = take();
    EXPECT_EQ(get_frame_geometry(first.buffer).height, ALIGNED_ROWS);
    std::optional<ScreenImage> shown = display_test::draw_and_show([&] { EXPECT_EQ(render_texture(first.buffer), 0); });
    EXPECT_EQ(memory_freed[1], 1);
    ASSERT_TRUE(shown);
    // The padding rows are part of the picture: they end the band in black, and the chroma plane
    // is read from its real offset (a neutral grey, not a colour).
    const board_test::screen_pixel light = board_test::pixel_at(*shown, BAND_WIDTH / 2, BAND_HEIGHT / 2);
    EXPECT_GE(light.r, LIGHT_AT_LEAST);
    EXPECT_NEAR(light.r, light.g, GREY_TOLERANCE);
    EXPECT_NEAR(light.g, light.b, GREY_TOLERANCE);
    EXPECT_LE(board_test::pixel_at(*shown, BAND_WIDTH / 2, BAND_HEIGHT - 1).g, DARK_AT_MOST);

    // The second frame is far smaller than the stream's geometry: it is released undrawn rather
    // than read past its end.
    video_buffer second = take();
    EXPECT_EQ(get_frame_geometry(second.buffer).width, LUMA_STRIDE);
    wait_flip(true);
    EXPECT_EQ(render_texture(second.buffer), 0);
    EXPECT_EQ(memory_freed[2], 1);
    EXPECT_FALSE(board_test::wait_for_screen(shown->sequence, NOTHING_SHOWN_WAIT));
}

TEST_F(QueueTest, WithoutVideoMetaTheCapsSizeIsUsedAndFramesAreReleasedUndrawn)
{
    {
        Handoff handoff(SMALL_WIDTH, SMALL_HEIGHT);
        handoff.push(tracked_frame(1, nv12_bytes(SMALL_WIDTH, SMALL_HEIGHT)));
        ASSERT_TRUE(handoff.finish());
    }
    video_buffer frame = take();
    const frame_geometry g = get_frame_geometry(frame.buffer);
    EXPECT_EQ(g.width, SMALL_WIDTH);
    EXPECT_EQ(g.height, SMALL_HEIGHT);
    EXPECT_EQ(render_texture(frame.buffer), 0);
    EXPECT_EQ(memory_freed[1], 1);
}

TEST_F(QueueTest, AFrameKeepsTheGeometryOfItsOwnStream)
{
    {
        Handoff first(LUMA_STRIDE, 1080);
        first.push(aligned_nv12_frame(1, LUMA_STRIDE, 1080, ALIGNED_ROWS));
        ASSERT_TRUE(first.finish());
    }
    // The frame is still queued when the next, smaller stream starts.
    reset_stream_geometry();
    {
        Handoff second(SMALL_WIDTH, SMALL_HEIGHT);
        second.push(aligned_nv12_frame(2, SMALL_WIDTH, SMALL_HEIGHT, SMALL_HEIGHT));
        ASSERT_TRUE(second.finish());
    }
    video_buffer old_frame = take();
    video_buffer new_frame = take();
    EXPECT_EQ(new_frame.id, 1) << "the counter restarts with the stream";
    EXPECT_EQ(get_frame_geometry(old_frame.buffer).height, ALIGNED_ROWS);
    EXPECT_EQ(get_frame_geometry(new_frame.buffer).height, SMALL_HEIGHT);
    EXPECT_EQ(get_stream_geometry().width, SMALL_WIDTH);
    EXPECT_EQ(render_texture(old_frame.buffer), 0);
    EXPECT_EQ(render_texture(new_frame.buffer), 0);
}

TEST_F(QueueTest, AFrameWithoutGeometryOrBufferIsNotDrawn)
{
    EXPECT_EQ(render_texture(nullptr), -1);
    EXPECT_EQ(wld_destroy_buffer(nullptr), -1);
    // Never passed the handoff: no geometry, released all the same.
    EXPECT_EQ(render_texture(aligned_nv12_frame(1, SMALL_WIDTH, SMALL_HEIGHT, SMALL_HEIGHT)), -1);
    EXPECT_EQ(memory_freed[1], 1);
}

} // namespace
