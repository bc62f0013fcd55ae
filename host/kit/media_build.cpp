// Runs the conversions media_plan plans, in parallel, reporting each file as it is done under a
// progress bar, then keeps the manifest so that a second run redoes only what changed, and writes
// the product tree onto a disk or into a package zip (media_package).
#include "host/kit/media_build.h"

#include "host/common/lookup_keys.h"
#include "host/kit/media_choice.h"
#include "host/kit/media_compose.h"
#include "host/kit/media_package.h"
#include "host/kit/media_plan.h"
#include "host/kit/media_scan.h"
#include "host/kit/system_picture.h"
#include "hostlink/banner_info.h"

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
#include <mutex>
#include <thread>

namespace fs = std::filesystem;

namespace {

constexpr int BAR_WIDTH = 30;
constexpr auto PROGRESS_PERIOD = std::chrono::milliseconds(250);

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
    check_sources(jobs, product);
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
    int result = write_manifest(product, jobs);
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
