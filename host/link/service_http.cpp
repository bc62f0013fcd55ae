// The service's HTTP API and its live page (cpp-httplib): one table of routes, the owner's token
// on every request when one is set, bounded bodies, and the state streamed as server-sent events.
#include "host/link/service_http.h"

#include <arpa/inet.h>
#include <cjson/cJSON.h>
#include <sodium.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <sstream>
#include <thread>

namespace {

// Requests are served by a pool of threads; each event stream holds one for as long as it lasts,
// so streams are bounded well below the pool and requests always find a thread.
constexpr size_t HTTP_THREADS = 16;
constexpr size_t EVENT_STREAMS_MAX = 8;
// A stream waits for a change this long at a time; after this many quiet waits it writes a
// comment, which finds a reader that went away.
constexpr int EVENT_WAIT_MS = 250;
constexpr int QUIET_WAITS_BEFORE_COMMENT = 60;
// An idle connection kept open for a next request does not hold up stopping for long.
constexpr time_t KEEP_ALIVE_S = 1;
constexpr time_t READ_TIMEOUT_S = 5;

struct embedded_file {
    const char* name;
    const char* text;
};
// host/link/service_page.html and host/link/openapi.json, built into the program
// (host/CMakeLists.txt).
const embedded_file FILES[] = {
#include "service_files.inc"
};

std::string embedded(const char* name)
{
    for (const embedded_file& file : FILES)
        if (strcmp(file.name, name) == 0)
            return file.text;
    return "";
}

struct http_part {
    service_options options;
    std::unique_ptr<httplib::Server> server;
    std::thread listening;
    std::atomic<size_t> streams{0};
};
http_part http;

using route_handler = void (*)(const httplib::Request&, httplib::Response&, const httplib::ContentReader*);

// The command a POST names is the last part of its path.
std::string command_of(const httplib::Request& req)
{
    return req.path.substr(req.path.rfind('/') + 1);
}

void post_command(const httplib::Request& req, httplib::Response& res, const httplib::ContentReader* read)
{
    if (!body_fits(req, res, SERVICE_COMMAND_MAX))
        return;
    // A request without a length has no body (and the library would read one until the end).
    std::string body;
    if (req.has_header("Content-Length") && !(*read)([&body](const char* data, size_t length) {
            body.append(data, length);
            return true;
        }))
        return answer_error(res, 400, "the request's body could not be read");
    service_command command;
    std::string why;
    if (parse_service_command(command_of(req), body, command, why) != 0)
        return answer_error(res, 400, why);
    answer_submitted(res, std::move(command));
}

void post_upload_route(const httplib::Request& req, httplib::Response& res, const httplib::ContentReader* read)
{
    post_upload(command_of(req), req, res, *read);
}

void get_state(const httplib::Request&, httplib::Response& res, const httplib::ContentReader*)
{
    answer_json(res, 200, service_state_json(service_snapshot()));
}

// One event of the stream: the state's JSON, each of its lines as a data line.
std::string state_event(const std::string& json)
{
    std::string event;
    std::istringstream lines(json);
    for (std::string line; std::getline(lines, line);)
        event += "data: " + line + "\n";
    return event + "\n";
}

void get_events(const httplib::Request&, httplib::Response& res, const httplib::ContentReader*)
{
    if (http.streams.fetch_add(1) >= EVENT_STREAMS_MAX) {
        http.streams--;
        return answer_error(res, 503, "too many event streams are open");
    }
    res.set_header("Cache-Control", "no-store");
    // The first wait returns at once (no sequence is ~0), so the stream starts with the state.
    // The library ends the stream when the server stops, between two calls.
    res.set_chunked_content_provider(
        "text/event-stream",
        [seen = ~uint64_t(0), quiet = 0](size_t, httplib::DataSink& sink) mutable {
            if (wait_service_change(seen, EVENT_WAIT_MS) == seen) {
                if (++quiet < QUIET_WAITS_BEFORE_COMMENT)
                    return true;
                quiet = 0;
                return sink.write(": quiet\n\n", 9);
            }
            service_state state = service_snapshot();
            seen = state.sequence;
            std::string event = state_event(service_state_json(state));
            return sink.write(event.data(), event.size());
        },
        [](bool) { http.streams--; });
}

void get_band(const httplib::Request&, httplib::Response& res, const httplib::ContentReader*)
{
    std::string png, reason;
    if (band_picture(http.options, png, reason) != 0) {
        cJSON* unknown = cJSON_CreateObject();
        cJSON_AddStringToObject(unknown, "band", "unknown");
        cJSON_AddStringToObject(unknown, "reason", reason.c_str());
        char* text = cJSON_PrintUnformatted(unknown);
        answer_json(res, 404, text);
        cJSON_free(text);
        cJSON_Delete(unknown);
        return;
    }
    res.set_header("Cache-Control", "no-store");
    res.set_content(png, "image/png");
}

void get_openapi(const httplib::Request&, httplib::Response& res, const httplib::ContentReader*)
{
    answer_json(res, 200, embedded("openapi.json"));
}

void get_page(const httplib::Request&, httplib::Response& res, const httplib::ContentReader*)
{
    res.set_header("Cache-Control", "no-store");
    res.set_content(embedded("service_page.html"), "text/html; charset=utf-8");
}

void get_coverage(const httplib::Request&, httplib::Response& res, const httplib::ContentReader*)
{
    if (http.options.coverage.empty())
        return answer_error(res, 404, "no coverage page was given (--coverage)");
    std::ifstream file(http.options.coverage, std::ios::binary);
    std::string page((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    if (!file.good() && !file.eof())
        return answer_error(res, 404, "the coverage page " + http.options.coverage + " cannot be read");
    res.set_content(page, "text/html; charset=utf-8");
}

struct http_route {
    const char* method;
    const char* path;
    route_handler handle;
};

// Every route, registered from here and listed by http_routes() for the OpenAPI file's test.
const http_route ROUTES[] = {
    {"GET", "/", get_page},
    {"GET", "/coverage", get_coverage},
    {"GET", "/api/v1/openapi.json", get_openapi},
    {"GET", "/api/v1/state", get_state},
    {"GET", "/api/v1/events", get_events},
    {"GET", "/api/v1/band.png", get_band},
    {"POST", "/api/v1/game", post_command},
    {"POST", "/api/v1/system", post_command},
    {"POST", "/api/v1/back", post_command},
    {"POST", "/api/v1/update", post_command},
    {"POST", "/api/v1/image", post_upload_route},
    {"POST", "/api/v1/file", post_upload_route},
    {"POST", "/api/v1/package", post_upload_route},
    {"POST", "/api/v1/firmware", post_upload_route},
};

// The library matches a route's path as a regular expression: its dots are only dots.
std::string path_pattern(const char* path)
{
    std::string pattern;
    for (const char* c = path; *c; c++)
        pattern += *c == '.' ? std::string("\\.") : std::string(1, *c);
    return pattern;
}

void add_routes(httplib::Server& server)
{
    for (const http_route& route : ROUTES) {
        route_handler handle = route.handle;
        if (strcmp(route.method, "GET") == 0)
            server.Get(path_pattern(route.path),
                       [handle](const httplib::Request& req, httplib::Response& res) { handle(req, res, nullptr); });
        else
            server.Post(path_pattern(route.path),
                        [handle](const httplib::Request& req, httplib::Response& res,
                                 const httplib::ContentReader& read) { handle(req, res, &read); });
    }
}

// Hashed first, so that neither the token's bytes nor its length show in the compare's time.
bool same_token(const std::string& given, const std::string& token)
{
    unsigned char a[crypto_generichash_BYTES], b[crypto_generichash_BYTES];
    crypto_generichash(a, sizeof a, reinterpret_cast<const unsigned char*>(given.data()), given.size(), nullptr, 0);
    crypto_generichash(b, sizeof b, reinterpret_cast<const unsigned char*>(token.data()), token.size(), nullptr, 0);
    return sodium_memcmp(a, b, sizeof a) == 0;
}

// The token comes as a bearer token, or in the query for what cannot set headers (EventSource,
// an <img>, a link).
bool authorized(const httplib::Request& req)
{
    const std::string& token = http.options.token;
    if (token.empty())
        return true;
    constexpr const char* BEARER = "Bearer ";
    std::string header = req.get_header_value("Authorization");
    if (header.rfind(BEARER, 0) == 0)
        return same_token(header.substr(strlen(BEARER)), token);
    return req.has_param("token") && same_token(req.get_param_value("token"), token);
}

bool is_loopback(const std::string& host)
{
    in_addr v4{};
    in6_addr v6{};
    if (inet_pton(AF_INET, host.c_str(), &v4) == 1)
        return (ntohl(v4.s_addr) >> 24) == 127;
    if (inet_pton(AF_INET6, host.c_str(), &v6) == 1)
        return IN6_IS_ADDR_LOOPBACK(&v6);
    return host == "localhost";
}

std::string library_refusal(const httplib::Request& req, int status)
{
    switch (status) {
    case 404: return "no route " + req.method + " " + req.path;
    case 400: return "the request could not be read";
    case 413: return "the body is too large";
    case 414: return "the request's address is too long";
    default: return "the request failed with HTTP status " + std::to_string(status);
    }
}

void set_up(httplib::Server& server)
{
    server.new_task_queue = [] { return new httplib::ThreadPool(HTTP_THREADS); };
    // The library's default shares the port (SO_REUSEPORT): a second service, or any program of
    // the same user, would take a share of the requests. Only a quick restart is allowed.
    server.set_socket_options([](socket_t sock) {
        int yes = 1;
        setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    });
    server.set_keep_alive_timeout(KEEP_ALIVE_S);
    server.set_read_timeout(READ_TIMEOUT_S);
    server.set_pre_routing_handler([](const httplib::Request& req, httplib::Response& res) {
        if (authorized(req))
            return httplib::Server::HandlerResponse::Unhandled;
        res.set_header("WWW-Authenticate", "Bearer");
        answer_error(res, 401, "a missing or wrong token");
        return httplib::Server::HandlerResponse::Handled;
    });
    // What the library answers itself (no route, a request it could not read) is JSON too.
    server.set_error_handler([](const httplib::Request& req, httplib::Response& res) {
        if (res.body.empty())
            answer_error(res, res.status, library_refusal(req, res.status));
    });
    server.set_exception_handler([](const httplib::Request&, httplib::Response& res, std::exception_ptr) {
        answer_error(res, 500, "the request could not be served");
    });
    add_routes(server);
}

} // namespace

std::vector<std::string> http_routes()
{
    std::vector<std::string> routes;
    for (const http_route& route : ROUTES)
        routes.push_back(std::string(route.method) + " " + route.path);
    return routes;
}

void answer_json(httplib::Response& res, int status, const std::string& json)
{
    res.status = status;
    res.set_content(json, "application/json");
}

void answer_error(httplib::Response& res, int status, const std::string& reason)
{
    cJSON* error = cJSON_CreateObject();
    cJSON_AddStringToObject(error, "error", reason.c_str());
    char* text = cJSON_PrintUnformatted(error);
    answer_json(res, status, text);
    cJSON_free(text);
    cJSON_Delete(error);
}

void answer_submitted(httplib::Response& res, service_command command)
{
    // A refused command's reason comes at once, from this thread; a queued one's end is the link
    // thread's, and shows in the state's events.
    auto refused = std::make_shared<std::string>();
    uint64_t number = 0;
    int result = submit_command(
        std::move(command), "http",
        [refused](int, const std::string& reason) {
            if (refused->empty())
                *refused = reason;
        },
        &number);
    if (result == SUBMIT_REFUSED)
        return answer_error(res, 400, *refused);
    if (result == SUBMIT_FULL)
        return answer_error(res, 503, "the queue of transfers is full; try again when one is done");
    answer_json(res, 202, "{\"event\":" + std::to_string(number) + "}");
}

bool body_fits(const httplib::Request& req, httplib::Response& res, size_t limit)
{
    // A body is read only as far as its stated length, so the length is checked before any of it.
    if (req.has_header("Transfer-Encoding")) {
        answer_error(res, 411, "send the body with a Content-Length");
        return false;
    }
    if (req.get_header_value<uint64_t>("Content-Length") > limit) {
        answer_error(res, 413, "the body exceeds " + std::to_string(limit) + " bytes");
        return false;
    }
    return true;
}

int start_http(const service_options& options)
{
    if (!options.http)
        return 0;
    if (options.token.empty() && !is_loopback(options.listen_host)) {
        fprintf(stderr,
                "tavimoro-host serve: --listen %s is reachable from other machines: give the owner's token "
                "with --token-file\n",
                options.listen_host.c_str());
        return -1;
    }
    if (sodium_init() < 0) {
        fprintf(stderr, "tavimoro-host serve: libsodium cannot start\n");
        return -1;
    }
    http.options = options;
    http.server = std::make_unique<httplib::Server>();
    set_up(*http.server);
    // The library listens on loopback behind the gate (service_http_gate.cpp), one request a
    // connection, so that every request's head is bounded there first.
    http.server->set_keep_alive_max_count(1);
    int inner_port = http.server->bind_to_any_port("127.0.0.1");
    if (inner_port <= 0 || start_http_gate(options.listen_host, options.listen_port, inner_port) != 0) {
        fprintf(stderr, "tavimoro-host serve: cannot listen on %s:%d: %s\n", options.listen_host.c_str(),
                options.listen_port, strerror(errno));
        http.server.reset();
        return -1;
    }
    http.listening = std::thread([] { http.server->listen_after_bind(); });
    printf("tavimoro-host serve: HTTP API on http://%s:%d/\n", options.listen_host.c_str(), options.listen_port);
    return 0;
}

void stop_http()
{
    if (!http.server)
        return;
    stop_http_gate();
    http.server->stop();
    if (http.listening.joinable())
        http.listening.join();
    http.server.reset();
}
