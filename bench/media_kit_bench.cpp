// Media kit benchmark at a real library's size: a library of 2000 games on four systems, each with
// a scraped 640x480 marquee, and a disk that holds a picture for a quarter of them. Times the
// scan, and a build of every picture with the processor time it took (how busy the cores were),
// then the second build that has nothing left to do.
//   media_kit_bench [GAMES]
#include "sim/sample_media.h"

#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

namespace fs = std::filesystem;

namespace {

constexpr const char* SYSTEMS[] = {"arcade", "snes", "megadrive", "psx"};
constexpr int DEFAULT_GAMES = 2000;

double children_cpu_seconds()
{
    rusage usage{};
    getrusage(RUSAGE_CHILDREN, &usage);
    return usage.ru_utime.tv_sec + usage.ru_stime.tv_sec + (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// Runs `command`, printing its wall time, its processor time and how many cores that kept busy.
void timed(const char* what, const std::string& command)
{
    double cpu = children_cpu_seconds();
    auto start = std::chrono::steady_clock::now();
    int status = system((command + " >/dev/null 2>&1").c_str());
    double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    cpu = children_cpu_seconds() - cpu;
    printf("%-34s %8.2f s  %8.2f s of processor  %4.2f cores busy%s\n", what, wall, cpu, cpu / wall,
           status == 0 ? "" : "  (exit status not 0)");
}

void make_library(const fs::path& top, int games)
{
    const fs::path picture = top / "marquee.png";
    if (make_sample_picture(picture.string(), 640, 480, "", 0x3060C0) != 0) {
        fprintf(stderr, "media_kit_bench: the sample picture cannot be made\n");
        exit(1);
    }
    fs::create_directories(top / "disk/vorlix/vorlix");
    int per_system = games / static_cast<int>(std::size(SYSTEMS));
    for (const char* system : SYSTEMS) {
        fs::create_directories(top / "library" / system / "media");
        std::ofstream list(top / "library" / system / "gamelist.xml");
        list << "<gameList>\n";
        for (int i = 0; i < per_system; i++) {
            std::string name = std::string(system) + " game " + std::to_string(i);
            std::ofstream(top / "library" / system / (name + ".zip")) << "rom";
            fs::copy_file(picture, top / "library" / system / "media" / (name + ".png"));
            list << "<game><path>./" << name << ".zip</path><name>" << name << "</name><marquee>./media/" << name
                 << ".png</marquee></game>\n";
            if (i % 4 == 0)
                std::ofstream(top / "disk/vorlix/vorlix" / (name + ".png")) << "x";
        }
        list << "</gameList>\n";
    }
}

} // namespace

int main(int argc, char** argv)
{
    int games = argc > 1 ? atoi(argv[1]) : DEFAULT_GAMES;
    char pattern[] = "/tmp/media-kit-bench.XXXXXX";
    if (!mkdtemp(pattern))
        return 1;
    fs::path top = pattern;
    // Nothing here reaches the board's paths; the root keeps it so should that change.
    setenv("TAVIMORO_ROOT", pattern, 1);
    make_library(top, games);
    const std::string kit = (fs::canonical("/proc/self/exe").parent_path() / "tavimoro-media").string();
    const std::string library = " '" + (top / "library").string() + "'";
    printf("%d games, %u cores\n", games, std::thread::hardware_concurrency());
    timed("scan", kit + " scan --disk '" + (top / "disk").string() + "'" + library);
    timed("build, every picture", kit + " build --to '" + (top / "disk").string() + "'" + library);
    timed("build again, nothing to do", kit + " build --to '" + (top / "disk").string() + "'" + library);
    fs::remove_all(top);
    return 0;
}
