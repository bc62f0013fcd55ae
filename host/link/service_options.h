// tavimoro-host serve's options, and the parts of the service that each start from them: the
// HTTP API with its live page, MQTT (Recalbox's broker, an operator's broker) and RetroArch's
// network commands. Each part starts its own threads and stops them cleanly.
#pragma once

#include "host/link/service_core.h"

#include <string>

// Where the HTTP API listens unless --listen says otherwise: loopback only.
constexpr const char* DEFAULT_LISTEN_HOST = "127.0.0.1";
constexpr int DEFAULT_LISTEN_PORT = 8740;
// RetroArch's network commands' default port, and Recalbox's broker.
constexpr int RETROARCH_DEFAULT_PORT = 55355;
constexpr int MQTT_DEFAULT_PORT = 1883;

struct service_options {
    service_config link;
    // HTTP: --listen HOST:PORT (--listen off for none), --token-file FILE (needed off loopback),
    // --product DIR (the board's product folder as the kit builds it, for the live page).
    std::string listen_host = DEFAULT_LISTEN_HOST;
    int listen_port = DEFAULT_LISTEN_PORT;
    bool http = true;
    std::string token;
    std::string product;
    std::string coverage;  // --coverage FILE: the kit's coverage page, linked from the live page
    std::string media_tool; // tavimoro-media beside this program, for the live page's band
    // MQTT for many cabinets: --mqtt mqtt://HOST[:PORT] (mqtts:// for TLS) --cabinet NAME
    // [--group NAME] [--mqtt-user U] [--mqtt-password-file F] [--mqtt-cafile F]
    std::string mqtt_url, cabinet, group = "all", mqtt_user, mqtt_password, mqtt_cafile;
    // Recalbox: --recalbox [HOST[:PORT]] follows its EmulationStation's events on its broker;
    // --recalbox-state FILE is where it writes the whole state.
    bool recalbox = false;
    std::string recalbox_host = "127.0.0.1";
    int recalbox_port = MQTT_DEFAULT_PORT;
    std::string recalbox_state = "/tmp/es_state.inf";
    // RetroArch: --retroarch [HOST[:PORT]] polls GET_STATUS once a second.
    bool retroarch = false;
    std::string retroarch_host = "127.0.0.1";
    int retroarch_port = RETROARCH_DEFAULT_PORT;
};

// HOST:PORT (HOST alone keeps the port; [v6]:PORT for IPv6); false when the port is no port.
bool parse_address(const std::string& text, std::string& host, int& port);

// Each part: 0 when started (or not asked for), -1 with the reason printed.
int start_http(const service_options& options);
void stop_http();
int start_mqtt(const service_options& options);
void stop_mqtt();
int start_retroarch(const service_options& options);
void stop_retroarch();
