// libFuzzer target: a command name and its JSON fields, as HTTP, MQTT and the local socket hand
// them to the service, through the one parser into the message the board reads.
#include "host/link/event_message.h"
#include "host/link/service_commands.h"

#include <cjson/cJSON.h>

#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::string input(reinterpret_cast<const char*>(data), size);
    size_t line = input.find('\n');
    std::string name = input.substr(0, line);
    std::string json = line == std::string::npos ? "" : input.substr(line + 1);
    service_command command;
    std::string why;
    if (parse_service_command(name, json, command, why) != 0) {
        if (why.empty())
            abort();
        return 0;
    }
    if (command.name != name || json.size() > SERVICE_COMMAND_MAX)
        abort();
    // What the board is sent must be one JSON object, whatever bytes the fields held.
    std::string message = json_text(command.opt, true);
    cJSON* parsed = cJSON_ParseWithLength(message.data(), message.size());
    if (!cJSON_IsObject(parsed))
        abort();
    cJSON_Delete(parsed);
    return 0;
}
