// The local socket through which one-shot tavimoro-host commands hand their message to the
// service when it runs, so that the link has one owner and events keep their order.
#pragma once

#include "host/link/host_commands.h"

#include <string>

// TAVIMORO_SERVICE_SOCKET, else /run/tavimoro/host.sock (under the test host root).
std::string service_socket_path();

// `tavimoro-host serve ARGS` (argv from "serve" on): runs the service's program, installed beside the picture module.
// Only where the service runs (Linux); elsewhere the reason and an exit status.
int run_service(char** argv);

// The one-shot side: hands the command `name` with its options to the service. `handed` false
// when no service listens there (or it serves another board): the caller goes on by itself.
// Otherwise the command's exit status, its reason printed. Where no service runs (Windows),
// never handed.
int hand_to_service(const std::string& name, const options& opt, bool& handed);

// The service's side: listens at service_socket_path() in a thread of its own; 0, or -1 with
// the reason printed.
int start_service_socket(const std::string& device);
void stop_service_socket();
