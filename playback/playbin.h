// The playback pipeline on the player thread: one video file at a time, frames to the queue.
#pragma once

#include <gst/gst.h>

#include <cstddef>

inline constexpr int PLAYER_STATE_IDLE = 0;
inline constexpr int PLAYER_STATE_READY = 1;
inline constexpr int PLAYER_STATE_STOPPED = 2;
inline constexpr int PLAYER_STATE_PLAYING = 3;

// Room for "file://" and the path, with the terminating zero.
inline constexpr size_t URI_FILE_SIZE = 256;

// Starts the player thread: 0, 1 when one already exists, -1 when it cannot be created.
int init_player_thread();
// Ends the player thread and waits for it, then empties the decoder queue.
void deinit_player_thread();
// Asks the player thread's loop to end without waiting; used on the signal path.
void playbin_exit();

// Points the URI at `path` (null clears it); -1, with nothing changed, for a path too long.
int set_uri_file(const char* path);
// 0 when `path` exists and is taken as the next URI, else -1.
int set_video_file(const char* path);
// The current URI text.
void get_uri_file(char* out, size_t size);

int gst_player_ready();
int gst_player_play();
int gst_player_pause();
// Stops playback, empties the queue and starts the next stream afresh.
int gst_player_stop();

void set_player_state(int state);
int get_player_state();
void gst_set_repeat_state(int state);
int gst_get_repeat_state();

// Drops whatever pipeline handles are still held.
void freeElements();
int player_proc(void* arg);
gboolean bus_callback(GstBus* bus, GstMessage* message, void* user_data);
