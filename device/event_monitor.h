// Hardware monitors: sysfs probes for HDMI, GPIOs and the USB controller, the USB-disk searches,
// and the event and key threads that turn hardware changes into events for the main loop.
#pragma once

#include <string>

#include <cstddef>

// Room `get_data_md5sum` needs in its output buffer.
inline constexpr size_t DATA_MD5SUM_BUF_SIZE = 257;

int set_hdmi_switch_channel(int channel);
int init_hdmi_mode_gpio();
// 0 when the HDMI-mode input reads '0', 1 otherwise, -1 when it cannot be read.
int get_hdmi_mode_state();
void close_hdmi_mode_state();

// The first "/media/<disk>/vorlix" (product directory) or "/media/<disk>/vorlix_update.img";
// 1 with the path in `out` (PATH_BUF_SIZE bytes, may be null), 0 when there is none.
int find_vorlix_path(char* out);
int find_update_img(char* out);

// The recorded sum of the last update image acted upon; 0, or -1 when missing or empty.
int get_data_md5sum(char* out);

// 2 when the host has configured the gadget, 1 for any other controller state, -1 on failure.
int get_usb_gadget_state();
void close_usb_gadget_state();

// 0 when the HDMI connector reports "disconnected" or cannot be read, 1 otherwise.
int get_drm_card_state();

int init_recovery_gpio();
// 0 while the recovery key is pressed, 1 when released, -1 when it cannot be read.
int get_recovery_state();

int start_event_thread();
void stop_event_thread();
int start_key_thread();
void stop_key_thread();

// What the event thread remembers between passes.
struct event_monitor_state {
    int update_img;
    int usb_state;
    int hdmi_mode;
    // What the update image and its signature were when the image was refused; empty when none
    // was. A refused image is checked again only when this changes or its disk comes back.
    std::string refused_img;
};

// The event thread's state at its start (reads the HDMI-mode input once).
event_monitor_state event_proc_begin();
// One pass of the event thread: update image, USB controller state, HDMI-mode input.
void event_proc_pass(event_monitor_state& state);
// One pass of the key thread: returns the key state to remember.
int key_proc_pass(int last);
