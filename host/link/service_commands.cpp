// The service's commands read from JSON: which fields each command takes, of which type, checked
// before anything is queued, and the same derivation of keys as the command line.
#include "host/link/service_commands.h"

#include "host/link/event_message.h"

#include <cjson/cJSON.h>

#include <algorithm>
#include <cmath>
#include <memory>
#include <vector>

namespace {

enum class field_type { text, flag, text_or_number };

struct field {
    const char* name;
    field_type type;
};

struct command_form {
    const char* name;
    command_kind kind;
    std::vector<field> fields;
};

constexpr field TITLE{"title", field_type::text}, TITLE2{"title2", field_type::text},
    ROMNAME{"romname", field_type::text}, LEADERBOARD{"leaderboard", field_type::text},
    TYPE{"type", field_type::text_or_number}, ROM{"rom", field_type::text}, SYSTEM{"system", field_type::text},
    SELECT{"select", field_type::flag}, NAME{"name", field_type::text}, AS_IS{"as_is", field_type::flag};

const command_form FORMS[] = {
    {"game", command_kind::show, {TITLE, TITLE2, ROMNAME, LEADERBOARD, TYPE, ROM, SELECT}},
    {"system", command_kind::show, {SYSTEM, TITLE, LEADERBOARD, SELECT}},
    {"back", command_kind::show, {}},
    {"image", command_kind::show, {TITLE, ROMNAME, LEADERBOARD, AS_IS, NAME}},
    {"file", command_kind::transfer, {NAME}},
    {"package", command_kind::transfer, {NAME}},
    {"firmware", command_kind::transfer, {NAME}},
    {"update", command_kind::transfer, {NAME}},
    {"state", command_kind::state, {}},
};

struct JsonDeleter {
    void operator()(cJSON* json) const { cJSON_Delete(json); }
};

std::string* text_field(options& opt, const std::string& name, std::string& rom)
{
    if (name == "title") return &opt.title;
    if (name == "title2") return &opt.title2;
    if (name == "romname") return &opt.romname;
    if (name == "leaderboard") return &opt.leaderboard;
    if (name == "type") return &opt.type;
    if (name == "rom") return &rom;
    if (name == "system") return &opt.system;
    return &opt.name;
}

// One field's value into the options; false when it has the wrong type.
bool read_field(const cJSON* item, const field& form, options& opt, std::string& rom)
{
    if (form.type == field_type::flag) {
        if (!cJSON_IsBool(item))
            return false;
        (std::string(form.name) == "select" ? opt.select : opt.as_is) = cJSON_IsTrue(item);
        return true;
    }
    std::string* text = text_field(opt, form.name, rom);
    if (cJSON_IsString(item)) {
        *text = item->valuestring;
        return true;
    }
    // A frontend's numeric type may come as a number; only whole, non-negative ones.
    double number = form.type == field_type::text_or_number && cJSON_IsNumber(item) ? item->valuedouble : -1;
    if (number < 0 || number > 1e9 || std::floor(number) != number)
        return false;
    *text = std::to_string(static_cast<long>(number));
    return true;
}

} // namespace

int parse_service_command(const std::string& name, const std::string& json, service_command& command,
                          std::string& why)
{
    const command_form* form = std::find_if(std::begin(FORMS), std::end(FORMS),
                                            [&](const command_form& f) { return name == f.name; });
    if (form == std::end(FORMS)) {
        why = "unknown command '" + name + "'";
        return -1;
    }
    if (json.size() > SERVICE_COMMAND_MAX) {
        why = "the command is longer than " + std::to_string(SERVICE_COMMAND_MAX) + " bytes";
        return -1;
    }
    command = service_command{};
    command.name = form->name;
    command.kind = form->kind;
    std::unique_ptr<cJSON, JsonDeleter> root(json.empty() ? cJSON_CreateObject()
                                                          : cJSON_ParseWithLength(json.data(), json.size()));
    if (!cJSON_IsObject(root.get())) {
        why = "the command's fields must be one JSON object";
        return -1;
    }
    std::string rom;
    for (const cJSON* item = root->child; item; item = item->next) {
        auto known = std::find_if(form->fields.begin(), form->fields.end(),
                                          [&](const field& f) { return std::string(f.name) == item->string; });
        if (known == form->fields.end()) {
            why = "'" + name + "' takes no field '" + item->string + "'";
            return -1;
        }
        if (!read_field(item, *known, command.opt, rom)) {
            why = std::string("the field '") + known->name + "' has the wrong type";
            return -1;
        }
    }
    if (name == "system" && command.opt.system.empty()) {
        why = "'system' needs the field 'system'";
        return -1;
    }
    derive_lookup_keys(command.opt, rom);
    return 0;
}
