// The banner record the main thread hands to the banner thread, and the sequencer that shows it.
#pragma once

#include "media/banner_record.h"

// Installs `info` as the record to show, first abandoning the current cycle when `info` names
// anything (this may block for up to 25 s); always 0.
int set_bannerbar_info(banner_bar_t info);
// Starts the banner thread: 0 when it runs (also when it already ran), -1 when it cannot start.
int init_banner_thread();
// Stops the banner thread and waits for it.
void deinit_banner_thread();
