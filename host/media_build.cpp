// Plans the conversions (best source per game, file named by the key the hooks send), runs them
// in parallel with a progress bar, keeps a manifest so that a second run redoes only what
// changed, and writes the product tree onto a disk or into a package zip (libarchive).
#include "host/media_build.h"

#include "core/common.h"
#include "host/lookup_keys.h"
#include "hostlink/banner_info.h"

#include <archive.h>
#include <archive_entry.h>
#include <cjson/cJSON.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
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

struct job {
    const scraped_game* game;
    std::string title;    // the game as the report names it
    std::string tag;      // the scraped media tag, "video" for a video
    std::string source;   // the scraped file
    std::string target;   // relative to the product directory
    std::string options;  // the conversion's settings, as the manifest keeps them
    outcome result = outcome::pending;
    std::string reason;
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

std::vector<job> plan(const std::vector<scraped_game>& games, const build_options& options, size_t& bare)
{
    std::vector<job> jobs;
    std::map<std::string, std::string> owner;  // target -> the ROM of the game it is made for
    bare = 0;
    for (const scraped_game& game : games) {
        std::string title = game_lookup_keys(game.rom, game.name).title + " (" + game.system + ")";
        std::string reason;
        std::string key = file_key(game, reason);
        bool any = false;
        bool picture_chosen = false;
        for (const std::string& tag : options.prefer) {
            auto found = game.media.find(tag);
            bool video = tag == VIDEO_TAG;
            if (found == game.media.end() || found->second.empty() || (!video && picture_chosen))
                continue;
            picture_chosen |= !video;
            any = true;
            job next{&game, title, tag, found->second.front(), "",
                     video ? video_settings(options.video) : picture_settings(options.picture), outcome::pending, ""};
            next.target = std::string(TREE) + "/" + key + (video ? ".mp4" : ".png");
            if (key.empty()) {
                next.target = game.rom;
                next.result = outcome::failed;
                next.reason = reason;
            } else if (auto [it, fresh] = owner.emplace(next.target, game.rom); !fresh) {
                next.result = outcome::failed;
                next.reason = "the board finds one file per key, and " + it->second + " has the same one";
            }
            jobs.push_back(std::move(next));
        }
        bare += !any;
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

// The manifest's record of how a target was made: source, its size and time, and the settings.
std::string record_of(const job& work, const std::string& source_stamp)
{
    return work.source + "\n" + source_stamp + "\n" + work.options;
}

// Marks as skipped the jobs whose target was made from the same source with the same settings,
// and as failed those whose source is gone; returns the records of the rest, to be kept once made.
std::map<const job*, std::string> check_sources(std::vector<job>& jobs, const cJSON* manifest, const fs::path& product)
{
    std::map<const job*, std::string> records;
    for (job& work : jobs) {
        if (work.result != outcome::pending)
            continue;
        struct stat info;
        bool readable = stat(work.source.c_str(), &info) == 0;
        if (!readable || !S_ISREG(info.st_mode)) {
            work.result = outcome::failed;
            work.reason = work.source + ": " + (readable ? "not a regular file" : strerror(errno));
            continue;
        }
        records[&work] = record_of(work, stamp(info));
        const cJSON* old = cJSON_GetObjectItemCaseSensitive(manifest, work.target.c_str());
        if (cJSON_IsString(old) && records[&work] == old->valuestring && fs::exists(product / work.target)) {
            work.result = outcome::skipped;
            work.reason = "unchanged since the last run";
        }
    }
    return records;
}

// Converts into a hidden file beside the target and renames it over the target once it is whole,
// so that the board (or a power cut) sees the old file or the new one. The hidden file is made
// afresh (O_EXCL, O_NOFOLLOW): a planted link is never followed.
void convert(job& work, const fs::path& product, const build_options& options)
{
    fs::path target = product / work.target;
    fs::path partial = target.parent_path() / ("." + target.filename().string() + ".partial");
    unlink(partial.c_str());
    int fd = open(partial.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    std::string error;
    int converted = -1;
    if (fd < 0)
        error = partial.string() + ": " + strerror(errno);
    else if (work.tag == VIDEO_TAG)
        converted = convert_video(work.source, fd, options.video, error);
    else
        converted = convert_picture(work.source, fd, options.picture, error);
    if (converted == 0 && rename(partial.c_str(), target.c_str()) != 0)
        error = target.string() + ": " + strerror(errno), converted = -1;
    if (converted != 0) {
        unlink(partial.c_str());
        work.result = outcome::failed;
        work.reason = work.source + ": " + error;
        return;
    }
    work.result = outcome::made;
    work.reason = "from " + work.tag + " " + work.source;
}

std::string clock_text(double seconds)
{
    long whole = static_cast<long>(seconds + 0.5);
    char text[32];
    snprintf(text, sizeof text, "%ld:%02ld", whole / 60, whole % 60);
    return text;
}

void draw_progress(size_t done, size_t total, std::chrono::steady_clock::duration elapsed)
{
    int filled = total ? static_cast<int>(BAR_WIDTH * done / total) : BAR_WIDTH;
    std::string bar(filled, '#');
    bar.resize(BAR_WIDTH, '.');
    double seconds = std::chrono::duration<double>(elapsed).count();
    std::string left = done ? clock_text(seconds * (total - done) / done) : "?";
    fprintf(stderr, "\r[%s] %zu/%zu  %s elapsed, about %s left ", bar.c_str(), done, total,
            clock_text(seconds).c_str(), left.c_str());
}

// Runs the pending jobs on `workers` threads; on a terminal, a progress bar with the time left.
void run_jobs(std::vector<job*>& pending, const fs::path& product, const build_options& options)
{
    std::atomic<size_t> next{0};
    std::mutex mutex;
    std::condition_variable finished;
    size_t done = 0;
    unsigned workers = options.jobs ? options.jobs : std::max(1u, std::thread::hardware_concurrency());
    workers = static_cast<unsigned>(std::min<size_t>(workers, pending.size()));
    std::vector<std::thread> threads;
    for (unsigned i = 0; i < workers; i++)
        threads.emplace_back([&] {
            for (size_t index; (index = next++) < pending.size();) {
                convert(*pending[index], product, options);
                std::lock_guard lock(mutex);
                done++;
                finished.notify_one();
            }
        });
    bool terminal = isatty(STDERR_FILENO);
    auto started = std::chrono::steady_clock::now();
    {
        std::unique_lock lock(mutex);
        while (done < pending.size()) {
            finished.wait_for(lock, PROGRESS_PERIOD);
            if (terminal)
                draw_progress(done, pending.size(), std::chrono::steady_clock::now() - started);
        }
    }
    for (std::thread& thread : threads)
        thread.join();
    if (terminal && !pending.empty())
        fputc('\n', stderr);
}

int write_manifest(const fs::path& file, const std::vector<job>& jobs, const std::map<const job*, std::string>& records)
{
    Json manifest(cJSON_CreateObject(), cJSON_Delete);
    for (const job& work : jobs)
        if (work.result == outcome::made || work.result == outcome::skipped)
            cJSON_AddStringToObject(manifest.get(), work.target.c_str(), records.at(&work).c_str());
    std::unique_ptr<char, decltype(&cJSON_free)> text(cJSON_Print(manifest.get()), cJSON_free);
    std::ofstream out(file, std::ios::trunc);
    out << text.get() << "\n";
    return out.good() ? 0 : -1;
}

struct ArchiveFree {
    void operator()(archive* a) const { archive_write_free(a); }
};

int add_to_zip(archive* zip, const fs::path& file, const std::string& name)
{
    std::ifstream in(file, std::ios::binary);
    std::vector<char> data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::unique_ptr<archive_entry, decltype(&archive_entry_free)> entry(archive_entry_new(), archive_entry_free);
    archive_entry_set_pathname(entry.get(), name.c_str());
    archive_entry_set_filetype(entry.get(), AE_IFREG);
    archive_entry_set_perm(entry.get(), 0644);
    archive_entry_set_size(entry.get(), static_cast<la_int64_t>(data.size()));
    if (!in.good() && !in.eof())
        return -1;
    if (archive_write_header(zip, entry.get()) != ARCHIVE_OK)
        return -1;
    return archive_write_data(zip, data.data(), data.size()) == static_cast<la_ssize_t>(data.size()) ? 0 : -1;
}

// The package: the made files under their product-relative names, stored as they are (PNG and
// MP4 are compressed already). Written under a temporary name and renamed once whole.
int write_package(const std::string& package, const fs::path& product, const std::vector<job>& jobs)
{
    std::string partial = package + ".partial";
    std::unique_ptr<archive, ArchiveFree> zip(archive_write_new());
    if (archive_write_set_format_zip(zip.get()) != ARCHIVE_OK || archive_write_zip_set_compression_store(zip.get()) != ARCHIVE_OK ||
        archive_write_open_filename(zip.get(), partial.c_str()) != ARCHIVE_OK) {
        fprintf(stderr, "tavimoro-media: %s: %s\n", package.c_str(), archive_error_string(zip.get()));
        return -1;
    }
    for (const job& work : jobs)
        if ((work.result == outcome::made || work.result == outcome::skipped) &&
            add_to_zip(zip.get(), product / work.target, work.target) != 0) {
            fprintf(stderr, "tavimoro-media: %s: %s cannot be added\n", package.c_str(), work.target.c_str());
            unlink(partial.c_str());
            return -1;
        }
    if (archive_write_close(zip.get()) != ARCHIVE_OK || rename(partial.c_str(), package.c_str()) != 0) {
        fprintf(stderr, "tavimoro-media: %s: cannot be written\n", package.c_str());
        unlink(partial.c_str());
        return -1;
    }
    return 0;
}

void report(const std::vector<job>& jobs, size_t bare)
{
    static const char* const WORDS[] = {"", "made", "skipped", "failed"};
    size_t counts[4] = {};
    for (const job& work : jobs) {
        counts[static_cast<int>(work.result)]++;
        printf("%-8s %s  %s: %s\n", WORDS[static_cast<int>(work.result)], work.target.c_str(), work.title.c_str(),
               work.reason.c_str());
    }
    printf("\n%zu made, %zu skipped, %zu failed; %zu games have none of the preferred media, and show their "
           "title card\n",
           counts[1], counts[2], counts[3], bare);
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
    fs::path product = options.package.empty() ? fs::path(disk_product_directory(options.to))
                                               : fs::absolute(options.package + ".cache");
    std::error_code error;
    fs::create_directories(product / TREE, error);
    if (error) {
        fprintf(stderr, "tavimoro-media: %s: %s\n", (product / TREE).c_str(), error.message().c_str());
        return 1;
    }
    size_t bare = 0;
    std::vector<job> jobs = plan(games, options, bare);
    Json manifest = read_manifest(product / MANIFEST);
    std::map<const job*, std::string> records = check_sources(jobs, manifest.get(), product);
    std::vector<job*> pending;
    for (job& work : jobs)
        if (work.result == outcome::pending)
            pending.push_back(&work);
    run_jobs(pending, product, options);
    int tree = open((product / TREE).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (tree >= 0) {
        fsync(tree);
        close(tree);
    }
    report(jobs, bare);
    int result = write_manifest(product / MANIFEST, jobs, records);
    if (result == 0 && !options.package.empty())
        result = write_package(options.package, product, jobs);
    bool failed = std::any_of(jobs.begin(), jobs.end(), [](const job& work) { return work.result == outcome::failed; });
    return result != 0 || failed ? 1 : 0;
}
