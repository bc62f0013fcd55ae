// The playback pipeline on the player thread.
#pragma once

// Asks the player thread's loop to end without waiting; safe from the signal path.
void playbin_exit();
