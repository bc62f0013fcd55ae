// The factory test: the marker that turns the test on, and the colour and version sequence the
// recovery key steps through.
#pragma once

// 1 when a disk under "/media" carries the factory marker at its top level, else 0.
int find_factory_file();
// Shows white, rewinds the sequence to its first key press and reads the system version.
void init_factory_reset();
// Shows the step the sequence stands at and moves it on.
void factory_reset();
// Renders the first line of `text` as the version card (in the title font, centred on black).
void get_surface_text(char* text);
