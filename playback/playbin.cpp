// The playback pipeline: a playbin on the player thread's GLib main loop.
#include "playback/playbin.h"

#include <glib.h>

#include <atomic>

namespace {

std::atomic<int> thread_player_exit{0};
// The player thread's main loop while that thread runs.
std::atomic<GMainLoop*> loop_player{nullptr};

} // namespace

void playbin_exit()
{
    thread_player_exit = 1;
    if (GMainLoop* loop = loop_player.load())
        g_main_loop_quit(loop);
}
