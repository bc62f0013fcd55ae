// Plans the conversions (each game's candidate files in the order of preference, the file named
// by the key the hooks send), runs them in parallel, reporting each file as it is done under a
// progress bar, keeps a manifest so that a second run redoes only what changed, and writes the
// product tree onto a disk or into a package zip (media_package).
#include "host/kit/media_build.h"

#include "core/common.h"
#include "host/common/lookup_keys.h"
#include "host/kit/media_choice.h"
#include "host/kit/media_compose.h"
#include "host/kit/media_package.h"
#include "host/kit/media_scan.h"
#include "host/kit/system_picture.h"
#include "hostlink/banner_info.h"

#include <cjson/cJSON.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <sstream>
#include <thread>

namespace fs = std::filesystem;

namespace {

// The media tree the kit writes into: the first one the board searches.
constexpr const char* TREE = "vorlix";
constexpr const char* MANIFEST = ".tavimoro-media.json";
constexpr int BAR_WIDTH = 30;
constexpr auto PROGRESS_PERIOD = std::chrono::milliseconds(250);

enum class outcome { pending, made, skipped, failed };

// A scraped file that can become a game's picture or video.
struct job {
    const scraped_game* game;
    std::string title;                 // the game as the report names it
    bool video = false;
    std::vector<media_source> candidates;  // best first: the next is tried when one is missing or fails
    std::string target;                // relative to the product directory
    std::string settings;              // the conversion's settings, as the manifest keeps them
    std::string record;                // the manifest's record: the settings and every candidate's state
    outcome result = outcome::pending;
    std::string reason;
    const library_system* system = nullptr;  // the system whose picture or video it is
};

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

std::string game_title(const scraped_game& game)
{
    return game_lookup_keys(game.rom, game.name).title + " (" + game.system + ")";
}

// Fails `next` when a job before it makes the same target: `owner` names who makes each.
void claim(job& next, std::map<std::string, std::string>& owner, const std::string& by)
{
    if (auto [it, fresh] = owner.emplace(next.target, by); !fresh) {
        next.result = outcome::failed;
        next.reason = "the board finds one file per key, and " + it->second + " has the same one";
    }
}

// One job per game for its picture and one for its video, when it has candidates for them,
// then each system's; `bare` gets the games that have none.
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

// Marks as skipped the jobs whose target was made from the same candidates with the same
// settings, and keeps every job's record, to be written once it is made.
void check_sources(std::vector<job>& jobs, const cJSON* manifest, const fs::path& product)
{
    for (job& work : jobs) {
        if (work.result != outcome::pending)
            continue;
        work.record = record_of(work);
        const cJSON* old = cJSON_GetObjectItemCaseSensitive(manifest, work.target.c_str());
        std::error_code error;
        if (cJSON_IsString(old) && work.record == old->valuestring &&
            fs::is_regular_file(product / work.target, error)) {
            work.result = outcome::skipped;
            work.reason = "unchanged since the last run";
        }
    }
}

std::string joined(const std::vector<std::string>& parts, const char* separator)
{
    std::string text;
    for (const std::string& part : parts)
        text += (text.empty() ? "" : separator) + part;
    return text;
}

// Converts the first candidate that is there and converts; says why each one before it was
// passed over. Each try writes a hidden file beside the target, renamed over the target once it
// is whole, so that the board (or a power cut) sees the old file or the new one. The hidden file
// is made afresh (O_EXCL, O_NOFOLLOW): a planted link is never followed.
void convert(job& work, const fs::path& product, const build_options& options)
{
    fs::path target = product / work.target;
    fs::path partial = target.parent_path() / ("." + target.filename().string() + ".partial");
    std::vector<std::string> passed;
    for (const media_source& file : work.candidates) {
        // A system's card has no file: it is drawn.
        bool drawn = file.file.empty();
        std::string name = drawn ? file.tag : file.tag + " " + file.file;
        struct stat info;
        if (!drawn && stat(file.file.c_str(), &info) != 0) {
            passed.push_back(errno == ENOENT ? "listed " + name + " is missing" : name + ": " + strerror(errno));
            continue;
        }
        if (!drawn && !S_ISREG(info.st_mode)) {
            passed.push_back(name + " is not a regular file");
            continue;
        }
        unlink(partial.c_str());
        int fd = open(partial.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
        if (fd < 0) {
            // Nothing can be written there: no other candidate would fare better.
            work.result = outcome::failed;
            work.reason = partial.string() + ": " + strerror(errno);
            return;
        }
        std::string error;
        int converted;
        if (file.tag == ANIMATED_TAG) {
            converted = convert_animation(file.file, fd, options.picture, error);
        } else if (work.video) {
            converted = convert_video(file.file, fd, options.video, error);
        } else if (work.system) {
            converted = convert_system_picture(file, *work.system, fd, options.picture, error);
        } else if (file.tag == COMPOSED_TAG) {
            // A composed picture without a logo shows the title as the board keeps it.
            composition parts{file.file, file.logos,
                              board_lookup_text(game_lookup_keys(work.game->rom, work.game->name).title.c_str())};
            converted = convert_composed(parts, fd, options.picture, error);
        } else {
            converted = convert_picture(file.file, fd, options.picture, error);
        }
        if (converted != 0) {
            unlink(partial.c_str());
            passed.push_back(name + ": " + error);
            continue;
        }
        if (rename(partial.c_str(), target.c_str()) != 0) {
            work.result = outcome::failed;
            work.reason = target.string() + ": " + strerror(errno);
            unlink(partial.c_str());
            return;
        }
        work.result = outcome::made;
        work.reason = passed.empty() ? "from " + name : joined(passed, "; ") + "; used " + name;
        return;
    }
    work.result = outcome::failed;
    work.reason = joined(passed, "; ");
}

std::string clock_text(double seconds)
{
    long whole = static_cast<long>(seconds + 0.5);
    char text[32];
    snprintf(text, sizeof text, "%ld:%02ld", whole / 60, whole % 60);
    return text;
}

const char* word_of(outcome result)
{
    static const char* const WORDS[] = {"", "made", "skipped", "failed"};
    return WORDS[static_cast<int>(result)];
}

// The report, printed on standard output as the work is done; on a terminal, a progress bar with
// the time left on standard error, redrawn beneath the report's lines. Every line is printed
// under one lock, and flushed, so that a line is never split and never waits for the end.
class Report {
public:
    explicit Report(size_t conversions) : total_(conversions), bar_(isatty(STDERR_FILENO) && conversions > 0) {}

    // A job that is done, and with it one of the conversions when `converted`.
    void done(const job& work, bool converted)
    {
        std::lock_guard lock(mutex_);
        done_ += converted;
        line(padded(word_of(work.result)) + work.target + "  " + work.title + ": " + work.reason);
    }
    void game(const char* word, const std::string& title, const std::string& text)
    {
        std::lock_guard lock(mutex_);
        line(padded(word) + title + ": " + text);
    }
    // Waits for the next job to be done or for the next redraw of the bar; false once every
    // conversion is done.
    bool wait()
    {
        std::unique_lock lock(mutex_);
        if (done_ < total_)
            changed_.wait_for(lock, PROGRESS_PERIOD);
        draw();
        return done_ < total_;
    }
    void notify() { changed_.notify_one(); }
    // Leaves the bar's last state on its own line.
    void finish()
    {
        std::lock_guard lock(mutex_);
        if (bar_ && drawn_)
            fputc('\n', stderr);
        drawn_ = false;
    }

private:
    static std::string padded(const char* word)
    {
        std::string text = word;
        text.resize(std::max<size_t>(text.size(), 8), ' ');
        return text + " ";
    }
    void line(const std::string& text)
    {
        if (bar_ && drawn_)
            fputs("\r\033[K", stderr);
        printf("%s\n", text.c_str());
        fflush(stdout);
        if (drawn_)
            draw();
    }
    void draw()
    {
        if (!bar_)
            return;
        int filled = static_cast<int>(BAR_WIDTH * done_ / total_);
        std::string bar(filled, '#');
        bar.resize(BAR_WIDTH, '.');
        double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started_).count();
        double share_left = done_ ? static_cast<double>(total_ - done_) / static_cast<double>(done_) : 0;
        std::string left = done_ ? clock_text(seconds * share_left) : "?";
        fprintf(stderr, "\r[%s] %zu/%zu  %s elapsed, about %s left ", bar.c_str(), done_, total_,
                clock_text(seconds).c_str(), left.c_str());
        drawn_ = true;
    }

    std::mutex mutex_;
    std::condition_variable changed_;
    size_t done_ = 0;
    const size_t total_;
    const bool bar_;
    bool drawn_ = false;
    const std::chrono::steady_clock::time_point started_ = std::chrono::steady_clock::now();
};

// Runs the pending jobs on `workers` threads, reporting each as it is done.
void run_jobs(std::vector<job*>& pending, const fs::path& product, const build_options& options, Report& report)
{
    std::atomic<size_t> next{0};
    unsigned workers = options.jobs ? options.jobs : std::max(1u, std::thread::hardware_concurrency());
    workers = static_cast<unsigned>(std::min<size_t>(workers, pending.size()));
    std::vector<std::thread> threads;
    for (unsigned i = 0; i < workers; i++)
        threads.emplace_back([&] {
            for (size_t index; (index = next++) < pending.size();) {
                convert(*pending[index], product, options);
                report.done(*pending[index], true);
                report.notify();
            }
        });
    while (report.wait()) {
    }
    for (std::thread& thread : threads)
        thread.join();
    report.finish();
}

int write_manifest(const fs::path& file, const std::vector<job>& jobs)
{
    Json manifest(cJSON_CreateObject(), cJSON_Delete);
    for (const job& work : jobs)
        if (work.result == outcome::made || work.result == outcome::skipped)
            cJSON_AddStringToObject(manifest.get(), work.target.c_str(), work.record.c_str());
    std::unique_ptr<char, decltype(&cJSON_free)> text(cJSON_Print(manifest.get()), cJSON_free);
    std::ofstream out(file, std::ios::trunc);
    out << text.get() << "\n";
    return out.good() ? 0 : -1;
}

// What the board shows for a game the kit makes nothing for: what its own lookup finds on the
// disk (`product`, the disk's product directory; empty for a package, whose disk is not known).
std::string shown_instead(const scraped_game& game, const std::string& product)
{
    if (product.empty())
        return "shows its title card, unless the board's disk already holds media for it";
    prediction now = predict_games({game}, product, {}).front();
    std::vector<std::string> kept;
    for (const std::string& file : {now.picture, now.video})
        if (!file.empty())
            kept.push_back(relative_to(file, product));
    return kept.empty() ? "shows its title card" : "keeps " + joined(kept, " and ") + ", which the disk already holds";
}

} // namespace

std::string disk_product_directory(const std::string& disk)
{
    fs::path path = fs::absolute(disk).lexically_normal();
    if (path.filename().empty())
        path = path.parent_path();
    return (path.filename() == "vorlix" ? path : path / "vorlix").string();
}

int build_media(const std::vector<scraped_game>& games, const build_options& options)
{
    fs::path product;
    if (prepare_product(options, TREE, product) != 0)
        return 1;
    std::vector<const scraped_game*> bare;
    std::vector<library_system> systems = library_systems(games, options.systems);
    draw_system_cards(systems);
    std::vector<job> jobs = plan(games, systems, options, bare);
    Json manifest = read_manifest(product / MANIFEST);
    check_sources(jobs, manifest.get(), product);
    std::vector<job*> pending;
    for (job& work : jobs)
        if (work.result == outcome::pending)
            pending.push_back(&work);
    Report report(pending.size());
    // What is known before any conversion: the skipped files, and those that cannot be made.
    for (const job& work : jobs)
        if (work.result != outcome::pending)
            report.done(work, false);
    run_jobs(pending, product, options, report);
    int tree = open((product / TREE).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (tree >= 0) {
        fsync(tree);
        close(tree);
    }
    size_t counts[4] = {};
    for (const job& work : jobs)
        counts[static_cast<int>(work.result)]++;
    size_t keep = 0;
    for (const scraped_game* game : bare) {
        std::string shown = shown_instead(*game, options.package.empty() ? product.string() : "");
        keep += shown.starts_with("keeps");
        report.game("none", game_title(*game), "none of the preferred media; " + shown);
    }
    printf("\n%zu made, %zu skipped, %zu failed; %zu games have none of the preferred media", counts[1], counts[2],
           counts[3], bare.size());
    if (bare.empty())
        printf("\n");
    else if (!options.package.empty())
        printf(" (their title card, unless the disk already holds media for them)\n");
    else
        printf(" (%zu show their title card, %zu keep what the disk holds)\n", bare.size() - keep, keep);
    int result = write_manifest(product / MANIFEST, jobs);
    if (result == 0 && !options.package.empty()) {
        std::vector<std::string> made;
        for (const job& work : jobs)
            if (work.result == outcome::made || work.result == outcome::skipped)
                made.push_back(work.target);
        result = write_package(options.package, product, made);
    }
    bool failed = std::any_of(jobs.begin(), jobs.end(), [](const job& work) { return work.result == outcome::failed; });
    return result != 0 || failed ? 1 : 0;
}
