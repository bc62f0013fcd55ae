// The systems' rows of the scan: the board looks a system up as the hooks name it, its key as
// both title2 and romname.
#include "host/kit/system_scan.h"

#include "host/kit/media_scan.h"
#include "media/media_lookup.h"

#include <cstdio>

namespace {

const char* shows(bool picture, bool video)
{
    return SHOWS[picture ? (video ? 0 : 1) : (video ? 2 : 3)];
}

} // namespace

const char* system_prediction::shows_now() const
{
    return shows(!picture.empty(), !video.empty());
}

const char* system_prediction::shows_after() const
{
    return shows(true, !system->video.empty() || !video.empty());
}

std::string system_prediction::source() const
{
    const media_source& picture = system->picture.front();
    std::string from =
        picture.file.empty() ? picture.tag + " of \"" + system->title + "\"" : picture.tag + " " + picture.file;
    return system->video.empty() ? from : from + ", video " + system->video.front().file;
}

std::vector<system_prediction> predict_systems(const std::vector<library_system>& systems, const std::string& product)
{
    std::vector<system_prediction> predictions;
    QuietStdout quiet;
    for (const library_system& system : systems) {
        banner_bar_t record{};
        find_game_media(product.c_str(), system.key.c_str(), system.key.c_str(), &record);
        predictions.push_back({&system, record.image_file, record.video_file});
    }
    return predictions;
}

void print_systems_table(const std::vector<system_prediction>& predictions)
{
    if (predictions.empty())
        return;
    printf("\n%-16s%-20s%-18s%-18s%s\n", "system", "key", "shows now", "after build", "from");
    for (const system_prediction& p : predictions)
        printf("%-16s%-20s%-18s%-18s%s\n", utf8_text(p.system->system).c_str(), utf8_text(p.system->key).c_str(),
               p.shows_now(), p.shows_after(), utf8_text(p.source()).c_str());
    printf("%zu systems\n", predictions.size());
}

cJSON* systems_json(const std::vector<system_prediction>& predictions, const std::string& product)
{
    cJSON* systems = cJSON_CreateArray();
    for (const system_prediction& p : predictions) {
        cJSON* system = cJSON_CreateObject();
        auto add = [&](const char* name, const std::string& text) {
            cJSON_AddStringToObject(system, name, utf8_text(text).c_str());
        };
        add("system", p.system->system);
        add("key", p.system->key);
        add("title", p.system->title);
        add("shows", p.shows_now());
        add("picture", relative_to(p.picture, product));
        add("video", relative_to(p.video, product));
        add("after_build", p.shows_after());
        add("picture_tag", p.system->picture.front().tag);
        add("picture_source", p.system->picture.front().file);
        add("video_source", p.system->video.empty() ? "" : p.system->video.front().file);
        cJSON_AddItemToArray(systems, system);
    }
    return systems;
}
