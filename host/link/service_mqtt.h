// MQTT inside the service: one connection to a broker (libmosquitto, its own network thread,
// reconnecting with backoff), and the two parts that use one: an operator's fleet of cabinets
// and Recalbox's EmulationStation events.
#pragma once

#include "host/link/service_options.h"

#include <functional>
#include <mutex>
#include <memory>
#include <string>
#include <vector>

struct mosquitto;

struct mqtt_endpoint {
    std::string host;
    int port = MQTT_DEFAULT_PORT;
    bool tls = false;
    std::string user, password, cafile;
};

// mqtt://HOST[:PORT] or mqtts://HOST[:PORT] (TLS, port 8883 unless given); 0, or -1 with the
// reason in `why`.
int parse_mqtt_url(const std::string& url, mqtt_endpoint& endpoint, std::string& why);

// One client of one broker. Its callbacks run on libmosquitto's thread; publish is safe from any
// thread. Subscriptions are made again on every connection, as a clean session forgets them.
class mqtt_session {
public:
    using message_handler = std::function<void(const std::string& topic, const std::string& payload)>;
    using connect_handler = std::function<void()>;

    struct setup {
        std::string client_id;
        std::vector<std::string> topics;
        std::string will_topic, will_payload;  // retained, when will_topic is set
        message_handler on_message;
        connect_handler on_connect;
    };

    mqtt_session() = default;
    mqtt_session(const mqtt_session&) = delete;
    mqtt_session& operator=(const mqtt_session&) = delete;
    ~mqtt_session() { close(); }

    // Starts the network thread; a broker not there yet is tried again, later and later.
    int open(const mqtt_endpoint& endpoint, setup config);
    int publish(const std::string& topic, const std::string& payload, bool retain);
    // Disconnects (the will is not sent) and ends the thread.
    void close();

private:
    static void connected(mosquitto* client, void* self, int rc);
    static void disconnected(mosquitto* client, void* self, int rc);
    static void received(mosquitto* client, void* self, const struct mosquitto_message* message);

    std::mutex mutex_;  // publish against close
    mosquitto* client_ = nullptr;
    bool looping_ = false;
    setup setup_;
};

// The fleet: --mqtt URL --cabinet NAME (service_fleet.cpp).
int start_fleet(const service_options& options);
void stop_fleet();
// Recalbox: --recalbox (service_recalbox.cpp).
int start_recalbox(const service_options& options);
void stop_recalbox();
