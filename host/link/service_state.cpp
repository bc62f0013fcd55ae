// The service's state as JSON: one form for the HTTP API, the live page and MQTT.
#include "host/link/service_core.h"

#include <cjson/cJSON.h>

#include <cstdlib>
#include <memory>
#include <utility>

namespace {

struct JsonDeleter {
    void operator()(cJSON* json) const { cJSON_Delete(json); }
};
using Json = std::unique_ptr<cJSON, JsonDeleter>;

// A message the service sent, as an object; null when there is none.
cJSON* message_object(const std::string& text)
{
    cJSON* object = text.empty() ? nullptr : cJSON_Parse(text.c_str());
    return object ? object : cJSON_CreateNull();
}

} // namespace

std::string service_state_json(const service_state& state)
{
    Json root(cJSON_CreateObject());
    cJSON_AddBoolToObject(root.get(), "board_present", state.board_present);
    cJSON_AddStringToObject(root.get(), "link", state.link.c_str());
    cJSON_AddStringToObject(root.get(), "device", state.device.c_str());
    cJSON_AddItemToObject(root.get(), "last_named", message_object(state.last_named));
    cJSON_AddItemToObject(root.get(), "selection", message_object(state.selection));
    cJSON* waiting = cJSON_AddObjectToObject(root.get(), "waiting");
    cJSON_AddNumberToObject(waiting, "shows", static_cast<double>(state.waiting_shows));
    cJSON_AddNumberToObject(waiting, "transfers", static_cast<double>(state.waiting_transfers));
    cJSON_AddNumberToObject(root.get(), "sequence", static_cast<double>(state.sequence));
    cJSON* events = cJSON_AddArrayToObject(root.get(), "events");
    for (const service_event& event : state.recent) {
        cJSON* item = cJSON_CreateObject();
        cJSON_AddNumberToObject(item, "number", static_cast<double>(event.number));
        for (auto [key, value] : {std::pair{"time", &event.time}, std::pair{"source", &event.source},
                                  std::pair{"command", &event.command}, std::pair{"text", &event.text},
                                  std::pair{"reason", &event.reason}})
            cJSON_AddStringToObject(item, key, value->c_str());
        if (event.status < 0)
            cJSON_AddNullToObject(item, "status");
        else
            cJSON_AddNumberToObject(item, "status", event.status);
        cJSON_AddItemToArray(events, item);
    }
    std::unique_ptr<char, decltype(&free)> text(cJSON_PrintUnformatted(root.get()), free);
    return text ? text.get() : "{}";
}
