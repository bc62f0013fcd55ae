// tavimoro-media build's plan and its manifest (see media_plan.h).
#include "host/kit/media_plan.h"

#include "core/common.h"
#include "host/common/lookup_keys.h"
#include "hostlink/banner_info.h"

#include <cjson/cJSON.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>

namespace fs = std::filesystem;

namespace {

constexpr const char* MANIFEST = ".tavimoro-media.json";

using Json = std::unique_ptr<cJSON, decltype(&cJSON_Delete)>;

std::string picture_settings(const picture_options& options)
{
    static const char* const MODES[] = {"black", "colour", "blur", "crop"};
    char rgb[8];
    snprintf(rgb, sizeof rgb, "%06x", options.rgb);
    return std::string("picture ") + MODES[static_cast<int>(options.mode)] + " " + rgb;
}

std::string video_settings(const video_options& options)
{
    return "video " + std::to_string(options.box_width) + "x" + std::to_string(options.box_height) +
           (options.audio ? " audio" : " silent");
}

// The file name the board finds a game by: its ROM name as the hooks send it, kept and
// lower-cased as the board keeps and lower-cases it. The ROM name rather than the title: every
// hook sends it, and a title may hold '/' or change with the frontend's language. Empty, with
// `reason`, when no file can carry it.
std::string file_key(const scraped_game& game, std::string& reason)
{
    std::string key = board_lookup_text(game_lookup_keys(game.rom, game.name).romname.c_str());
    str_tolower(key.data());
    if (key.empty() || key == "." || key == ".." || key.find('/') != std::string::npos)
        reason = "its ROM name \"" + key + "\" cannot be a file name";
    return reason.empty() ? key : "";
}

// Fails `next` when a job before it makes the same target: `owner` names who makes each.
void claim(job& next, std::map<std::string, std::string>& owner, const std::string& by)
{
    if (auto [it, fresh] = owner.emplace(next.target, by); !fresh) {
        next.result = outcome::failed;
        next.reason = "the board finds one file per key, and " + it->second + " has the same one";
    }
}

std::string stamp(const struct stat& info)
{
    return std::to_string(info.st_size) + " " + std::to_string(info.st_mtim.tv_sec) + "." +
           std::to_string(info.st_mtim.tv_nsec);
}

Json read_manifest(const fs::path& file)
{
    std::ifstream in(file);
    std::stringstream text;
    text << in.rdbuf();
    Json manifest(cJSON_Parse(text.str().c_str()), cJSON_Delete);
    if (!cJSON_IsObject(manifest.get()))
        manifest.reset(cJSON_CreateObject());
    return manifest;
}

// The manifest's record of how a target is made: the settings, then each candidate's tag, path,
// and size and time, or that it is absent. When any candidate changes, appears or goes, so does
// the record, and the target is made again from the best one.
std::string record_of(const job& work)
{
    auto state = [](const std::string& file) {
        struct stat info;
        return stat(file.c_str(), &info) != 0 ? std::string("absent ") + strerror(errno)
               : S_ISREG(info.st_mode)        ? stamp(info)
                                              : "not a regular file";
    };
    std::string record = work.settings;
    for (const media_source& file : work.candidates) {
        record += "\n" + file.tag + " " + file.file + " " + state(file.file);
        for (const std::string& logo : file.logos)
            record += "\n  logo " + logo + " " + state(logo);
    }
    return record;
}

} // namespace

std::string game_title(const scraped_game& game)
{
    return game_lookup_keys(game.rom, game.name).title + " (" + game.system + ")";
}

std::vector<job> plan(const std::vector<scraped_game>& games, const std::vector<library_system>& systems,
                      const build_options& options, std::vector<const scraped_game*>& bare)
{
    std::vector<job> jobs;
    std::map<std::string, std::string> owner;  // target -> the ROM of the game it is made for
    for (const scraped_game& game : games) {
        std::string reason;
        std::string key = file_key(game, reason);
        bool any = false;
        for (bool video : {false, true}) {
            std::vector<media_source> candidates = sources_along(game, options.prefer, video);
            if (candidates.empty())
                continue;
            any = true;
            // A video made from an animated picture is made with the picture's settings.
            bool moving_picture = candidates.front().tag == ANIMATED_TAG;
            job next{&game, game_title(game), video, std::move(candidates), "",
                     video && !moving_picture ? video_settings(options.video) : picture_settings(options.picture), "",
                     outcome::pending, ""};
            next.target = std::string(TREE) + "/" + key + (video ? ".mp4" : ".png");
            if (key.empty()) {
                next.target = game.rom;
                next.result = outcome::failed;
                next.reason = reason;
            } else {
                claim(next, owner, game.rom);
            }
            jobs.push_back(std::move(next));
        }
        if (!any)
            bare.push_back(&game);
    }
    // A system's card is drawn, not read: its name is in the settings, so a new name draws it again.
    for (const library_system& system : systems)
        for (bool video : {false, true})
            if (const std::vector<media_source>& candidates = video ? system.video : system.picture;
                !candidates.empty()) {
                std::string settings = video ? video_settings(options.video)
                                             : picture_settings(options.picture) + " card " + system.title;
                job next{nullptr, system.title + " (system " + system.system + ")", video, candidates,
                         std::string(TREE) + "/" + system.key + (video ? ".mp4" : ".png"), settings, "",
                         outcome::pending, "", &system};
                claim(next, owner, "system " + system.system);
                jobs.push_back(std::move(next));
            }
    return jobs;
}
void check_sources(std::vector<job>& jobs, const fs::path& product)
{
    Json manifest = read_manifest(product / MANIFEST);
    for (job& work : jobs) {
        if (work.result != outcome::pending)
            continue;
        work.record = record_of(work);
        const cJSON* old = cJSON_GetObjectItemCaseSensitive(manifest.get(), work.target.c_str());
        std::error_code error;
        if (cJSON_IsString(old) && work.record == old->valuestring &&
            fs::is_regular_file(product / work.target, error)) {
            work.result = outcome::skipped;
            work.reason = "unchanged since the last run";
        }
    }
}

int write_manifest(const fs::path& product, const std::vector<job>& jobs)
{
    Json manifest(cJSON_CreateObject(), cJSON_Delete);
    for (const job& work : jobs)
        if (work.result == outcome::made || work.result == outcome::skipped)
            cJSON_AddStringToObject(manifest.get(), work.target.c_str(), work.record.c_str());
    std::unique_ptr<char, decltype(&cJSON_free)> text(cJSON_Print(manifest.get()), cJSON_free);
    std::ofstream out(product / MANIFEST, std::ios::trunc);
    out << text.get() << "\n";
    return out.good() ? 0 : -1;
}
