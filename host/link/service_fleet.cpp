// An operator's cabinets on one broker. Each service subscribes to its cabinet's and its group's
// command topics, tavimoro/NAME/cmd/COMMAND and tavimoro/GROUP/cmd/COMMAND, the payload being the
// command's JSON fields as every source gives them. It keeps a retained tavimoro/NAME/state (the
// service's state, "online" and the cabinet's name), with a retained will that marks it offline,
// and answers each command with one non-retained tavimoro/NAME/result message:
// {"cabinet","command","id" (the command's own, when it gave one),"status" (tavimoro-host's exit
// status),"reason"}. A command that moves a file names it by "url" (http:// only; "sha256" checks
// it; a firmware's "signature_url" its minisign signature): the service fetches it, on a thread
// of its own so that MQTT keeps flowing, never through the broker.
#include "host/link/service_fetch.h"
#include "host/link/service_mqtt.h"

#include <cjson/cJSON.h>

#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>

namespace {

// A minisign signature is a few hundred bytes.
constexpr uint64_t SIGNATURE_MAX = 4096;
// The longest a thread waits for a change before it looks whether it should stop.
constexpr int CHANGE_WAIT_MS = 200;

struct cjson_deleter {
    void operator()(cJSON* json) const { cJSON_Delete(json); }
};
using cjson_ptr = std::unique_ptr<cJSON, cjson_deleter>;

std::string print_json(const cJSON* json)
{
    char* text = cJSON_PrintUnformatted(json);
    std::string result = text ? text : "";
    cJSON_free(text);
    return result;
}

// A command that waits for its file to be fetched.
struct fetch_job {
    std::string name, fields, id, url, sha256, signature_url;
};

struct fleet : std::enable_shared_from_this<fleet> {
    mqtt_session session;
    std::string cabinet, topic_prefix;
    std::atomic<bool> stopping{false};
    std::thread publisher, fetcher;
    std::mutex mutex;
    std::condition_variable wake;
    std::deque<fetch_job> jobs;
    fetch_stop fetches;

    std::string topic(const char* leaf) const { return topic_prefix + leaf; }

    // The service's state as its one JSON gives it, with "online" and the cabinet's name; offline,
    // only those two.
    std::string state_json(bool online) const
    {
        cjson_ptr state(online ? cJSON_Parse(service_state_json(service_snapshot()).c_str()) : nullptr);
        if (!cJSON_IsObject(state.get()))
            state.reset(cJSON_CreateObject());
        cJSON_AddBoolToObject(state.get(), "online", online);
        cJSON_AddStringToObject(state.get(), "cabinet", cabinet.c_str());
        return print_json(state.get());
    }

    void publish_state(bool online) { session.publish(topic("state"), state_json(online), true); }

    void publish_result(const std::string& command, const std::string& id, int status, const std::string& reason)
    {
        cjson_ptr result(cJSON_CreateObject());
        cJSON_AddStringToObject(result.get(), "cabinet", cabinet.c_str());
        cJSON_AddStringToObject(result.get(), "command", command.c_str());
        if (!id.empty())
            cJSON_AddStringToObject(result.get(), "id", id.c_str());
        cJSON_AddNumberToObject(result.get(), "status", status);
        cJSON_AddStringToObject(result.get(), "reason", reason.c_str());
        session.publish(topic("result"), print_json(result.get()), false);
    }

    void on_message(const std::string& topic, const std::string& payload);
    void submit(const std::string& name, const std::string& fields, const std::string& id, const std::string& file,
                const std::string& signature);
    void fetch(const fetch_job& job);
    void publish_changes();
    void fetch_jobs();
};

std::shared_ptr<fleet> running;

bool is_topic_level(const std::string& name)
{
    return !name.empty() && name.find_first_of("/+#") == std::string::npos;
}

bool needs_file(const std::string& name)
{
    return name == "image" || name == "file" || name == "package" || name == "firmware";
}

// Takes the string `key` out of `fields`: 0 (value "" when absent), or -1 when it is no string.
int take_string(cJSON* fields, const char* key, std::string& value)
{
    cjson_ptr item(cJSON_DetachItemFromObjectCaseSensitive(fields, key));
    if (!item)
        return 0;
    if (!cJSON_IsString(item.get()))
        return -1;
    value = item->valuestring;
    return 0;
}

void fleet::on_message(const std::string& topic, const std::string& payload)
{
    std::string name = topic.substr(topic.rfind('/') + 1);
    if (payload.size() > SERVICE_COMMAND_MAX) {
        publish_result(name, "", EXIT_USAGE, "the command is longer than " + std::to_string(SERVICE_COMMAND_MAX) + " bytes");
        return;
    }
    cjson_ptr fields(payload.empty() ? cJSON_CreateObject() : cJSON_ParseWithLength(payload.data(), payload.size()));
    if (!cJSON_IsObject(fields.get())) {
        publish_result(name, "", EXIT_USAGE, "the command's payload is not a JSON object");
        return;
    }
    fetch_job job{name, "", "", "", "", ""};
    cjson_ptr id(cJSON_DetachItemFromObjectCaseSensitive(fields.get(), "id"));
    if (cJSON_IsString(id.get()))
        job.id = id->valuestring;
    else if (id)
        job.id = print_json(id.get());
    // Another command's "url" is left to the command's own check, which refuses it.
    if (needs_file(name) &&
        (take_string(fields.get(), "url", job.url) != 0 || take_string(fields.get(), "sha256", job.sha256) != 0 ||
         take_string(fields.get(), "signature_url", job.signature_url) != 0)) {
        publish_result(name, job.id, EXIT_USAGE, "url, sha256 and signature_url are strings");
        return;
    }
    job.fields = print_json(fields.get());
    if (name == "state") {
        publish_state(true);
        publish_result(name, job.id, 0, "");
        return;
    }
    if (!needs_file(name)) {
        submit(name, job.fields, job.id, "", "");
        return;
    }
    // The fields are checked before anything is fetched for them.
    service_command checked;
    std::string why;
    if (job.url.empty())
        why = name + " names its file's http:// address as \"url\"";
    if (!why.empty() || parse_service_command(name, job.fields, checked, why) != 0) {
        publish_result(name, job.id, EXIT_USAGE, why);
        return;
    }
    std::lock_guard<std::mutex> lock(mutex);
    if (jobs.size() >= TRANSFER_QUEUE_MAX) {
        publish_result(name, job.id, EXIT_USAGE, "too many files wait to be fetched; send it again later");
        return;
    }
    jobs.push_back(std::move(job));
    wake.notify_one();
}

void fleet::submit(const std::string& name, const std::string& fields, const std::string& id, const std::string& file,
                   const std::string& signature)
{
    service_command command;
    std::string why;
    if (parse_service_command(name, fields, command, why) != 0) {
        for (const std::string& path : {file, signature})
            if (!path.empty())
                remove(path.c_str());
        publish_result(name, id, EXIT_USAGE, why);
        return;
    }
    command.file = file;
    command.signature = signature;
    // The result is published when the link's thread is done with it, even after this part
    // stopped: then there is no one left to tell.
    std::weak_ptr<fleet> self = weak_from_this();
    int queued = submit_command(std::move(command), "mqtt", [self, name, id](int status, const std::string& reason) {
        if (std::shared_ptr<fleet> alive = self.lock())
            alive->publish_result(name, id, status, reason);
    });
    if (queued == SUBMIT_FULL)
        publish_result(name, id, EXIT_USAGE, "the service's queue is full; send it again later");
}

void fleet::fetch(const fetch_job& job)
{
    std::string file, signature, why;
    if (fetch_to_temp_file(job.url, FETCH_MAX, job.sha256, fetches, file, why) != 0 ||
        (!job.signature_url.empty() &&
         fetch_to_temp_file(job.signature_url, SIGNATURE_MAX, "", fetches, signature, why) != 0)) {
        if (!file.empty())
            remove(file.c_str());
        publish_result(job.name, job.id, EXIT_USAGE, why);
        return;
    }
    submit(job.name, job.fields, job.id, file, signature);
}

void fleet::publish_changes()
{
    uint64_t seen = service_snapshot().sequence;
    while (!stopping) {
        uint64_t now = wait_service_change(seen, CHANGE_WAIT_MS);
        if (now != seen && !stopping)
            publish_state(true);
        seen = now;
    }
}

void fleet::fetch_jobs()
{
    std::unique_lock<std::mutex> lock(mutex);
    while (true) {
        wake.wait(lock, [this] { return stopping || !jobs.empty(); });
        if (stopping)
            return;
        fetch_job job = std::move(jobs.front());
        jobs.pop_front();
        lock.unlock();
        fetch(job);
        lock.lock();
    }
}

} // namespace

int start_fleet(const service_options& options)
{
    mqtt_endpoint endpoint;
    std::string why;
    if (parse_mqtt_url(options.mqtt_url, endpoint, why) != 0 || !is_topic_level(options.cabinet) ||
        !is_topic_level(options.group)) {
        fprintf(stderr, "tavimoro-host serve: %s\n",
                why.empty() ? "--mqtt needs --cabinet NAME, and NAME and --group are one topic level each (no / + #)"
                            : why.c_str());
        return -1;
    }
    endpoint.user = options.mqtt_user;
    endpoint.password = options.mqtt_password;
    endpoint.cafile = options.mqtt_cafile;

    auto part = std::make_shared<fleet>();
    part->cabinet = options.cabinet;
    part->topic_prefix = "tavimoro/" + options.cabinet + "/";
    running = part;
    fleet* self = part.get();
    mqtt_session::setup setup{
        .client_id = "tavimoro-" + options.cabinet,
        .topics = {part->topic("cmd/+"), "tavimoro/" + options.group + "/cmd/+"},
        .will_topic = part->topic("state"),
        .will_payload = part->state_json(false),
        .on_message = [self](const std::string& topic, const std::string& payload) { self->on_message(topic, payload); },
        .on_connect = [self] { self->publish_state(true); },
    };
    if (part->session.open(endpoint, std::move(setup)) != 0) {
        running.reset();
        return -1;
    }
    part->publisher = std::thread(&fleet::publish_changes, self);
    part->fetcher = std::thread(&fleet::fetch_jobs, self);
    return 0;
}

void stop_fleet()
{
    std::shared_ptr<fleet> part = std::move(running);
    if (!part)
        return;
    {
        std::lock_guard<std::mutex> lock(part->mutex);
        part->stopping = true;
    }
    part->wake.notify_all();
    part->fetches.stop();
    part->publisher.join();
    part->fetcher.join();
    // A clean disconnect sends no will: the offline state is published first.
    part->publish_state(false);
    part->session.close();
    for (const fetch_job& job : part->jobs)
        fprintf(stderr, "tavimoro-host serve: %s from MQTT dropped: the service stops\n", job.name.c_str());
}
