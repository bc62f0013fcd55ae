// What the HTTP API's files share: the answers every route gives, the uploads, the band's
// picture, and the table of routes (which the tests hold against the OpenAPI file).
#pragma once

#include "host/link/service_options.h"

#include <httplib.h>

#include <string>
#include <vector>

// The gate in front of the library: listens at HOST:PORT and relays each connection, its head
// read whole and bounded first, to the library's port on loopback. 0, or -1 (errno set).
int start_http_gate(const std::string& host, int port, int inner_port);
void stop_http_gate();

// Every route the API serves, as "METHOD PATH", in the order they are registered.
std::vector<std::string> http_routes();

// A JSON answer; an error's is {"error": reason}.
void answer_json(httplib::Response& res, int status, const std::string& json);
void answer_error(httplib::Response& res, int status, const std::string& reason);
// Queues `command` from HTTP: 202 with the event's number, 400 when refused, 503 when full.
void answer_submitted(httplib::Response& res, service_command command);
// Refuses a body that is larger than `limit` or comes in chunks; true when it may be read.
bool body_fits(const httplib::Request& req, httplib::Response& res, size_t limit);

// POST /api/v1/{image,file,package,firmware}: the multipart form streamed to the service's files.
void post_upload(const std::string& command, const httplib::Request& req, httplib::Response& res,
                 const httplib::ContentReader& read);

// The band as the board shows it now: 0 with the PNG in `png`, or -1 with the reason it is unknown.
int band_picture(const service_options& options, std::string& png, std::string& reason);
