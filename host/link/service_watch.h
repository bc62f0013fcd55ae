// The board coming and going under the running service: udev's monitor of HID devices, and for a
// simulated board the folder of its socket; each change makes the link's thread look again.
#pragma once

#include <string>

// `device` is the node or socket the service was given ("" when it searches). 0, or -1 with the
// reason printed; without udev the service still runs, and says so.
int start_board_watch(const std::string& device);
void stop_board_watch();
