// The host link: the reader thread on the USB HID gadget node, command dispatch, replies, and
// the handlers of the transfers and messages the host sends.
#pragma once

#include <atomic>
#include <cstdint>

// Descriptor of the gadget node while the reader has it open, else -1.
extern std::atomic<int> hidg_fd;

int start_hid_thread();
void stop_hid_thread();
void hid_proc();

// Writes `length` bytes as one report; -1 without writing when the node is not open.
int send_data(const uint8_t* buffer, int length);
// Framing check and dispatch of one received report.
void data_proc(const uint8_t* report, int length);
// Builds the reply for `command` with `status` and sends it; the result of send_data.
int send_reply(uint8_t command, uint8_t status);

// Handlers, called with a whole received report; their results are not used.
int response_file_transmit_prepare(const uint8_t* report);
int response_file_transmit_data(const uint8_t* report);
int response_file_transmit_verify(const uint8_t* report);
int response_fw_update_prepare(const uint8_t* report);
int response_fw_update_data(const uint8_t* report);
int response_fw_update_verify(const uint8_t* report);
int response_package_transmit_prepare(const uint8_t* report);
int response_package_transmit_data(const uint8_t* report);
int response_package_transmit_verify(const uint8_t* report);
int response_firmware_update(const uint8_t* report);
int response_vorlix_connect_state(const uint8_t* report);
int response_data_transmit_prepare(const uint8_t* report);
int response_data_transmit_data(const uint8_t* report);
int response_show_image_prepare(const uint8_t* report);
int response_show_image_data(const uint8_t* report);
int response_show_image_verify(const uint8_t* report);
