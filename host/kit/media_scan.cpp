// What the board shows for each game, now and after a build: the player's own lookup on the disk
// and the build's own choice of sources; printed as a table or as one JSON document.
#include "host/kit/media_scan.h"

#include "host/kit/media_choice.h"
#include "hostlink/banner_info.h"
#include "media/media_lookup.h"

#include <cjson/cJSON.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cwchar>
#include <filesystem>
#include <map>
#include <memory>

namespace fs = std::filesystem;

namespace {

const char* shows(bool picture, bool video)
{
    if (picture)
        return video ? SHOWS[0] : SHOWS[1];
    return video ? SHOWS[2] : SHOWS[3];
}

// The length of the valid UTF-8 character at the start of `text`, or 0.
size_t character_length(std::string_view text, char32_t& code)
{
    auto byte = [&](size_t i) { return static_cast<unsigned char>(text[i]); };
    unsigned char first = byte(0);
    size_t length = first < 0x80 ? 1 : (first >> 5) == 6 ? 2 : (first >> 4) == 14 ? 3 : (first >> 3) == 30 ? 4 : 0;
    if (length == 0 || length > text.size())
        return 0;
    code = length == 1 ? first : first & (0x7F >> length);
    for (size_t i = 1; i < length; i++) {
        if ((byte(i) & 0xC0) != 0x80)
            return 0;
        code = code << 6 | (byte(i) & 0x3F);
    }
    static const char32_t LEAST[] = {0, 0, 0x80, 0x800, 0x10000};
    return code >= LEAST[length] && code <= 0x10FFFF && (code < 0xD800 || code > 0xDFFF) ? length : 0;
}

// Columns a text takes on a terminal: wide characters take two.
size_t columns(const std::string& text)
{
    size_t width = 0;
    std::string_view rest = text;
    while (!rest.empty()) {
        char32_t code = 0;
        size_t length = character_length(rest, code);
        int shown = length ? wcwidth(static_cast<wchar_t>(code)) : 1;
        width += shown > 0 ? shown : 0;
        rest.remove_prefix(length ? length : 1);
    }
    return width;
}

std::string padded(const std::string& text, size_t width)
{
    std::string safe = utf8_text(text);
    size_t used = columns(safe);
    return safe + std::string(used < width ? width - used : 1, ' ');
}

std::string board_key(const prediction& p)
{
    std::string key = board_lookup_text(p.keys.romname.c_str());
    for (char& c : key)
        c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    return key;
}

// Games whose ROM names are the same key for the board once lower-cased.
std::map<std::string, std::vector<const prediction*>> collisions(const std::vector<prediction>& predictions)
{
    std::map<std::string, std::vector<const prediction*>> by_key;
    for (const prediction& p : predictions)
        by_key[board_key(p)].push_back(&p);
    std::erase_if(by_key, [](const auto& entry) { return entry.second.size() < 2; });
    return by_key;
}

std::string source_text(const prediction& p, const std::string& product)
{
    std::string from;
    if (!p.picture_source.empty())
        from = p.picture_tag + " " + p.picture_source;
    else if (!p.picture.empty())
        from = "on the disk: " + relative_to(p.picture, product);
    if (!p.video_source.empty())
        from += (from.empty() ? "" : ", ") + std::string("video ") + p.video_source;
    else if (!p.video.empty())
        from += (from.empty() ? "" : ", ") + std::string("on the disk: ") + relative_to(p.video, product);
    return from.empty() ? p.why_none : from;
}

void print_summary(const char* when, const std::vector<prediction>& predictions, bool after)
{
    printf("%s:", when);
    for (const char* shown : SHOWS)
        printf(" %zu %s%s", count_shows(predictions, shown, after), shown, shown == SHOWS[3] ? "\n" : ",");
}

using Json = std::unique_ptr<cJSON, decltype(&cJSON_Delete)>;

void add_text(cJSON* object, const char* name, const std::string& text)
{
    cJSON_AddStringToObject(object, name, utf8_text(text).c_str());
}

cJSON* summary_json(const std::vector<prediction>& predictions, bool after)
{
    cJSON* summary = cJSON_CreateObject();
    for (const char* shown : SHOWS)
        cJSON_AddNumberToObject(summary, shown, static_cast<double>(count_shows(predictions, shown, after)));
    return summary;
}

} // namespace

const char* prediction::shows_now() const
{
    return shows(!picture.empty(), !video.empty());
}

const char* prediction::shows_after() const
{
    return shows(!picture_source.empty() || !picture.empty(), !video_source.empty() || !video.empty());
}

size_t count_shows(const std::vector<prediction>& predictions, const char* shown, bool after)
{
    return static_cast<size_t>(std::count_if(predictions.begin(), predictions.end(), [&](const prediction& p) {
        return std::string(after ? p.shows_after() : p.shows_now()) == shown;
    }));
}

std::vector<prediction> predict_games(const std::vector<scraped_game>& games, const std::string& product,
                                      const std::vector<std::string>& prefer)
{
    std::vector<prediction> predictions;
    predictions.reserve(games.size());
    QuietStdout quiet;
    for (const scraped_game& game : games) {
        prediction p{&game, game_lookup_keys(game.rom, game.name), "", "", "", "", "", {}, ""};
        banner_bar_t record{};
        find_game_media(product.c_str(), board_lookup_text(p.keys.title2.c_str()).c_str(),
                        board_lookup_text(p.keys.romname.c_str()).c_str(), &record);
        p.picture = record.image_file;
        p.video = record.video_file;
        std::vector<media_source> pictures = sources_along(game, prefer, false);
        if (const media_source* chosen = first_present(pictures))
            p.picture_tag = chosen->tag, p.picture_source = chosen->file, p.picture_logos = chosen->logos;
        else
            p.why_none = pictures.empty() ? "none of the preferred media"
                                          : "its " + pictures.front().tag + " " + pictures.front().file + " is missing";
        std::vector<media_source> videos = sources_along(game, prefer, true);
        if (const media_source* chosen = first_present(videos))
            p.video_source = chosen->file;
        predictions.push_back(std::move(p));
    }
    return predictions;
}

void print_table(const std::vector<prediction>& predictions, const std::vector<system_prediction>& systems,
                 const std::string& product)
{
    constexpr size_t SYSTEM = 12, GAME = 36, ROM = 28, SHOWN = 18;
    printf("%s%s%s%s%s%s\n", padded("system", SYSTEM).c_str(), padded("game", GAME).c_str(),
           padded("rom name", ROM).c_str(), padded("shows now", SHOWN).c_str(), padded("after build", SHOWN).c_str(),
           "from");
    for (const prediction& p : predictions)
        printf("%s%s%s%s%s%s\n", padded(p.game->system, SYSTEM).c_str(), padded(p.keys.title, GAME).c_str(),
               padded(p.keys.romname, ROM).c_str(), padded(p.shows_now(), SHOWN).c_str(),
               padded(p.shows_after(), SHOWN).c_str(), utf8_text(source_text(p, product)).c_str());
    printf("\n%zu games\n", predictions.size());
    print_summary("now", predictions, false);
    print_summary("after build", predictions, true);
    for (const auto& [key, games] : collisions(predictions)) {
        printf("collision: %zu games are the same ROM key \"%s\" for the board:", games.size(), utf8_text(key).c_str());
        for (const prediction* p : games)
            printf(" %s (%s)", utf8_text(p->game->rom).c_str(), utf8_text(p->game->source).c_str());
        printf("\n");
    }
    print_systems_table(systems);
}

void print_json(const std::vector<prediction>& predictions, const std::vector<system_prediction>& systems,
                const std::string& product)
{
    Json root(cJSON_CreateObject(), cJSON_Delete);
    cJSON* games = cJSON_AddArrayToObject(root.get(), "games");
    for (const prediction& p : predictions) {
        cJSON* game = cJSON_CreateObject();
        add_text(game, "system", p.game->system);
        add_text(game, "source", p.game->source);
        add_text(game, "rom", p.game->rom);
        add_text(game, "title", p.keys.title);
        add_text(game, "romname", p.keys.romname);
        add_text(game, "key", board_key(p));
        add_text(game, "shows", p.shows_now());
        add_text(game, "picture", relative_to(p.picture, product));
        add_text(game, "video", relative_to(p.video, product));
        add_text(game, "after_build", p.shows_after());
        add_text(game, "picture_tag", p.picture_tag);
        add_text(game, "picture_source", p.picture_source);
        add_text(game, "video_source", p.video_source);
        cJSON_AddItemToArray(games, game);
    }
    cJSON_AddItemToObject(root.get(), "systems", systems_json(systems, product));
    cJSON_AddItemToObject(root.get(), "summary", summary_json(predictions, false));
    cJSON_AddItemToObject(root.get(), "after_build", summary_json(predictions, true));
    cJSON* clashes = cJSON_AddArrayToObject(root.get(), "collisions");
    for (const auto& [key, colliding] : collisions(predictions)) {
        cJSON* clash = cJSON_CreateObject();
        add_text(clash, "key", key);
        cJSON* roms = cJSON_AddArrayToObject(clash, "roms");
        for (const prediction* p : colliding)
            cJSON_AddItemToArray(roms, cJSON_CreateString(utf8_text(p->game->rom).c_str()));
        cJSON_AddItemToArray(clashes, clash);
    }
    std::unique_ptr<char, decltype(&cJSON_free)> text(cJSON_Print(root.get()), cJSON_free);
    printf("%s\n", text.get());
}

std::string relative_to(const std::string& file, const std::string& product)
{
    return file.empty() ? "" : fs::path(file).lexically_relative(product).string();
}

std::string utf8_text(const std::string& text)
{
    std::string out;
    out.reserve(text.size());
    std::string_view rest = text;
    while (!rest.empty()) {
        char32_t code = 0;
        if (size_t length = character_length(rest, code)) {
            out.append(rest.substr(0, length));
            rest.remove_prefix(length);
            continue;
        }
        char escaped[8];
        snprintf(escaped, sizeof escaped, "\\x%02X", static_cast<unsigned char>(rest[0]));
        out += escaped;
        rest.remove_prefix(1);
    }
    return out;
}

QuietStdout::QuietStdout() : saved_(dup(STDOUT_FILENO))
{
    fflush(stdout);
    int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
    dup2(null, STDOUT_FILENO);
    close(null);
}

QuietStdout::~QuietStdout()
{
    fflush(stdout);
    dup2(saved_, STDOUT_FILENO);
    close(saved_);
}
