// libFuzzer target: arbitrary sequences of well-framed reports through the host-link dispatcher,
// against a simulated board in a temporary directory.
#include "core/events.h"
#include "hostlink/crc32.h"
#include "hostlink/hid_dev.h"
#include "hostlink/wire.h"
#include "sim/sim_board.h"

#include <SDL.h>
#include <fcntl.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

namespace {

std::string fuzz_root;

void remove_root()
{
    std::filesystem::remove_all(fuzz_root);
}

// Events carry message blocks the main thread would free.
void drain_events()
{
    SDL_Event event;
    while (SDL_PollEvent(&event)) {
        if (event.type == static_cast<Uint32>(EVENT_BANNER_INFO))
            free(event.user.data1);
        if (event.type == static_cast<Uint32>(EVENT_SHOW_IMAGE)) {
            free(event.user.data1);
            free(event.user.data2);
        }
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    // Every handler logs; written to a terminal or a file, the lines would cost more than the
    // handlers.
    if (!freopen("/dev/null", "w", stdout))
        abort();
    fuzz_root = (std::filesystem::temp_directory_path() / "tavimoro-fuzz-XXXXXX").string();
    if (!mkdtemp(fuzz_root.data()) || prepare_board(fuzz_root) != 0)
        abort();
    atexit(remove_root);
    setenv("TAVIMORO_ROOT", fuzz_root.c_str(), 1);
    setenv("PATH", (fuzz_root + "/sim/bin:" + getenv("PATH")).c_str(), 1);
    SDL_SetHint(SDL_HINT_NO_SIGNAL_HANDLERS, "1");
    SDL_Init(SDL_INIT_EVENTS);
    init_crc32_table();
    // Replies are written and dropped, so that handlers go on as after a delivered reply.
    hidg_fd = open("/dev/null", O_WRONLY | O_CLOEXEC);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    // Each 62 bytes make a report after the header; a short tail is padded with zeros.
    constexpr size_t BODY = REPORT_SIZE - 2;
    for (size_t at = 0; at < size; at += BODY) {
        hid_report report{};
        report[0] = REPORT_MAGIC_0;
        report[1] = REPORT_MAGIC_1;
        memcpy(report.data() + 2, data + at, std::min(BODY, size - at));
        // The firmware start pauses and hands off to recovery; its tests cover it.
        if (report[OFFSET_COMMAND] != CMD_FIRMWARE_UPDATE)
            data_proc(report.data(), REPORT_SIZE);
    }
    drain_events();
    return 0;
}
