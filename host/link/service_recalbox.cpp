// Recalbox's EmulationStation events, followed on its built-in broker instead of through the user
// scripts. For every event, EmulationStation writes the whole state to /tmp/es_state.inf (lines
// KEY=VALUE ending in CR LF: Action, ActionData, System, SystemId, Game, GamePath, ImagePath,
// IsFolder, ...), then publishes the event's name, in lower case and alone, on the topic
// Recalbox/EmulationStation/Event (recalbox-emulationstation, es-app/src/NotificationManager.cpp:
// Run(), BuildStateCommons(), sEventTopic in NotificationManager.h; the wiki's page on scripts
// on EmulationStation events, whose topic's leading '/' the source does not have). The events
// are followed as the Recalbox hook follows them (frontends/recalbox/).
#include "host/link/service_mqtt.h"

#include <cjson/cJSON.h>

#include <cstdio>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>

namespace {

constexpr const char* EVENT_TOPIC = "Recalbox/EmulationStation/Event";
// The state file is a few hundred bytes; more is not Recalbox's.
constexpr size_t STATE_FILE_MAX = 64 * 1024;
// An event's name is a word.
constexpr size_t EVENT_MAX = 64;

std::map<std::string, std::string> read_state(const std::string& text)
{
    std::map<std::string, std::string> values;
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        size_t equals = line.find('=');
        if (equals != std::string::npos)
            values.emplace(line.substr(0, equals), line.substr(equals + 1));
    }
    return values;
}

// The command's fields: each pair's value a string, or true for "select".
std::string fields(std::initializer_list<std::pair<const char*, const std::string*>> pairs, bool select)
{
    std::unique_ptr<cJSON, decltype(&cJSON_Delete)> json(cJSON_CreateObject(), cJSON_Delete);
    for (const auto& [key, value] : pairs)
        if (!value->empty())
            cJSON_AddStringToObject(json.get(), key, value->c_str());
    if (select)
        cJSON_AddTrueToObject(json.get(), "select");
    char* text = cJSON_PrintUnformatted(json.get());
    std::string result = text ? text : "{}";
    cJSON_free(text);
    return result;
}

std::string read_file(const std::string& path)
{
    std::ifstream file(path, std::ios::binary);
    std::string text(STATE_FILE_MAX, '\0');
    file.read(text.data(), static_cast<std::streamsize>(text.size()));
    text.resize(static_cast<size_t>(file.gcount()));
    return text;
}

// The command a Recalbox event asks for, given the state file's text: 0 and the command's name
// and JSON fields, or -1 when the event names nothing (or the file is about a later event).
int recalbox_event_command(const std::string& event, const std::string& state_file_text, std::string& name,
                           std::string& json)
{
    std::map<std::string, std::string> state = read_state(state_file_text);
    // A later event may already have written the file: that event's own message follows.
    if (state["Action"] != event)
        return -1;
    const std::string &rom = state["GamePath"], &game = state["Game"];
    if (event == "rungame" || event == "gamelistbrowsing" || event == "rundemo" || event == "startgameclip") {
        // The cursor on a folder names no game.
        if (rom.empty() || state["IsFolder"] == "1")
            return -1;
        name = "game";
        json = fields({{"rom", &rom}, {"title", &game}}, event == "rungame" || event == "gamelistbrowsing");
        return 0;
    }
    if (event == "systembrowsing") {
        if (state["SystemId"].empty())
            return -1;
        name = "system";
        json = fields({{"system", &state["SystemId"]}, {"title", &state["System"]}}, true);
        return 0;
    }
    if (event == "sleep") {
        // The board's own band while the cabinet sleeps, as the hook's bare info.
        name = "game";
        json = "{}";
        return 0;
    }
    if (event == "endgame" || event == "enddemo" || event == "stopgameclip" || event == "wakeup") {
        name = "back";
        json = "";
        return 0;
    }
    return -1;
}

std::unique_ptr<mqtt_session> running;

} // namespace

int start_recalbox(const service_options& options)
{
    mqtt_endpoint endpoint;
    endpoint.host = options.recalbox_host;
    endpoint.port = options.recalbox_port;
    const std::string state_file = options.recalbox_state;
    mqtt_session::setup setup{
        .client_id = "tavimoro-recalbox",
        .topics = {EVENT_TOPIC},
        .will_topic = "",
        .will_payload = "",
        .on_message =
            [state_file](const std::string&, const std::string& event) {
                std::string name, json, why;
                service_command command;
                if (event.size() > EVENT_MAX || recalbox_event_command(event, read_file(state_file), name, json) != 0)
                    return;
                if (parse_service_command(name, json, command, why) != 0) {
                    fprintf(stderr, "tavimoro-host serve: Recalbox's %s: %s\n", event.c_str(), why.c_str());
                    return;
                }
                submit_command(std::move(command), "recalbox");
            },
        .on_connect = nullptr,
    };
    running = std::make_unique<mqtt_session>();
    if (running->open(endpoint, std::move(setup)) != 0) {
        running.reset();
        return -1;
    }
    return 0;
}

void stop_recalbox()
{
    running.reset();
}
