// The service's MQTT connections through libmosquitto: its threaded loop (mosquitto_loop_start)
// owns the socket, reconnects with a growing delay, and calls back here for connections and
// messages.
#include "host/link/service_mqtt.h"

#include <mosquitto.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

constexpr int MQTTS_DEFAULT_PORT = 8883;
constexpr int KEEPALIVE_S = 30;
// The reconnection delay starts at 1 s and doubles up to 30 s (exponential backoff).
constexpr unsigned RECONNECT_DELAY_S = 1, RECONNECT_DELAY_MAX_S = 30;
// Without a CA file of the operator's, TLS trusts the system's certificates.
constexpr const char* SYSTEM_CA_PATH = "/etc/ssl/certs";
constexpr int QOS = 1;

// The library's global state is set up while a part uses MQTT.
bool library_ready = false;

} // namespace

int parse_mqtt_url(const std::string& url, mqtt_endpoint& endpoint, std::string& why)
{
    std::string rest;
    if (url.rfind("mqtt://", 0) == 0) {
        rest = url.substr(7);
        endpoint.tls = false;
        endpoint.port = MQTT_DEFAULT_PORT;
    } else if (url.rfind("mqtts://", 0) == 0) {
        rest = url.substr(8);
        endpoint.tls = true;
        endpoint.port = MQTTS_DEFAULT_PORT;
    } else {
        why = "an MQTT broker's address is mqtt://HOST[:PORT] or mqtts://HOST[:PORT]";
        return -1;
    }
    if (!rest.empty() && rest.back() == '/')
        rest.pop_back();
    if (!parse_address(rest, endpoint.host, endpoint.port) || endpoint.host.find_first_of("/@ ") != std::string::npos) {
        why = "no broker's HOST[:PORT] in " + url;
        return -1;
    }
    return 0;
}

int mqtt_session::open(const mqtt_endpoint& endpoint, setup config)
{
    setup_ = std::move(config);
    client_ = mosquitto_new(setup_.client_id.c_str(), true, this);
    if (!client_) {
        fprintf(stderr, "tavimoro-host serve: no MQTT client\n");
        return -1;
    }
    mosquitto_connect_callback_set(client_, connected);
    mosquitto_disconnect_callback_set(client_, disconnected);
    mosquitto_message_callback_set(client_, received);
    mosquitto_reconnect_delay_set(client_, RECONNECT_DELAY_S, RECONNECT_DELAY_MAX_S, true);
    int rc = MOSQ_ERR_SUCCESS;
    if (!endpoint.user.empty())
        rc = mosquitto_username_pw_set(client_, endpoint.user.c_str(),
                                       endpoint.password.empty() ? nullptr : endpoint.password.c_str());
    if (rc == MOSQ_ERR_SUCCESS && endpoint.tls)
        rc = mosquitto_tls_set(client_, endpoint.cafile.empty() ? nullptr : endpoint.cafile.c_str(),
                               endpoint.cafile.empty() ? SYSTEM_CA_PATH : nullptr, nullptr, nullptr, nullptr);
    if (rc == MOSQ_ERR_SUCCESS && !setup_.will_topic.empty())
        rc = mosquitto_will_set(client_, setup_.will_topic.c_str(), static_cast<int>(setup_.will_payload.size()),
                                setup_.will_payload.data(), QOS, true);
    if (rc != MOSQ_ERR_SUCCESS) {
        fprintf(stderr, "tavimoro-host serve: MQTT: %s\n", mosquitto_strerror(rc));
        close();
        return -1;
    }
    // The loop's thread first, then the connection: so a broker not up yet, or a name the network
    // cannot resolve yet at boot, is tried again by that thread with backoff (started the other way
    // round, libmosquitto's thread gives up when the first attempt fails).
    if (mosquitto_loop_start(client_) != MOSQ_ERR_SUCCESS) {
        close();
        return -1;
    }
    looping_ = true;
    rc = mosquitto_connect_async(client_, endpoint.host.c_str(), endpoint.port, KEEPALIVE_S);
    if (rc == MOSQ_ERR_INVAL) {
        fprintf(stderr, "tavimoro-host serve: no MQTT broker at %s:%d\n", endpoint.host.c_str(), endpoint.port);
        close();
        return -1;
    }
    if (rc != MOSQ_ERR_SUCCESS)
        fprintf(stderr, "tavimoro-host serve: MQTT broker %s:%d: %s; trying again\n", endpoint.host.c_str(),
                endpoint.port, rc == MOSQ_ERR_ERRNO ? strerror(errno) : mosquitto_strerror(rc));
    return 0;
}

int mqtt_session::publish(const std::string& topic, const std::string& payload, bool retain)
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (!client_)
        return -1;
    int rc = mosquitto_publish(client_, nullptr, topic.c_str(), static_cast<int>(payload.size()), payload.data(),
                               QOS, retain);
    return rc == MOSQ_ERR_SUCCESS ? 0 : -1;
}

void mqtt_session::close()
{
    if (!client_)
        return;
    mosquitto_disconnect(client_);
    // Not under the lock: the loop's own callbacks may publish until it ends.
    if (looping_)
        mosquitto_loop_stop(client_, false);
    looping_ = false;
    std::lock_guard<std::mutex> lock(mutex_);
    mosquitto_destroy(client_);
    client_ = nullptr;
}

void mqtt_session::connected(mosquitto* client, void* self, int rc)
{
    auto* session = static_cast<mqtt_session*>(self);
    if (rc != 0) {
        fprintf(stderr, "tavimoro-host serve: the MQTT broker refused %s: %s\n", session->setup_.client_id.c_str(),
                mosquitto_connack_string(rc));
        return;
    }
    fprintf(stderr, "tavimoro-host serve: MQTT: connected to the broker as %s\n", session->setup_.client_id.c_str());
    for (const std::string& topic : session->setup_.topics)
        mosquitto_subscribe(client, nullptr, topic.c_str(), QOS);
    if (session->setup_.on_connect)
        session->setup_.on_connect();
}

void mqtt_session::disconnected(mosquitto*, void* self, int rc)
{
    // 0 is our own disconnection.
    if (rc != 0)
        fprintf(stderr, "tavimoro-host serve: MQTT: lost the broker of %s; connecting again\n",
                static_cast<mqtt_session*>(self)->setup_.client_id.c_str());
}

void mqtt_session::received(mosquitto*, void* self, const struct mosquitto_message* message)
{
    auto* session = static_cast<mqtt_session*>(self);
    if (!message->topic || message->payloadlen < 0)
        return;
    std::string payload(static_cast<const char*>(message->payload), static_cast<size_t>(message->payloadlen));
    session->setup_.on_message(message->topic, payload);
}

int start_mqtt(const service_options& options)
{
    if (options.mqtt_url.empty() && !options.recalbox)
        return 0;
    mosquitto_lib_init();
    library_ready = true;
    if ((!options.mqtt_url.empty() && start_fleet(options) != 0) || (options.recalbox && start_recalbox(options) != 0)) {
        stop_mqtt();
        return -1;
    }
    return 0;
}

void stop_mqtt()
{
    stop_fleet();
    stop_recalbox();
    if (library_ready)
        mosquitto_lib_cleanup();
    library_ready = false;
}
