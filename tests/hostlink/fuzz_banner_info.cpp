// libFuzzer target: arbitrary text through the banner-info and show-image JSON path, into the
// message block the main thread takes.
#include "core/events.h"
#include "hostlink/banner_info.h"

#include <SDL.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

namespace {

struct FreeDeleter {
    void operator()(void* block) const { free(block); }
};

// Every slot must end inside itself: the main thread copies them as C strings.
void check_slots(const banner_info_msg* message)
{
    for (auto [slot, size] : {std::pair{message->type, sizeof message->type}, {message->title, sizeof message->title},
                              {message->leaderboard, sizeof message->leaderboard},
                              {message->romname, sizeof message->romname}, {message->title2, sizeof message->title2}}) {
        if (strnlen(slot, size) == size)
            abort();
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    // The parser's error lines would cost more than the parse.
    if (!freopen("/dev/null", "w", stdout))
        abort();
    SDL_SetHint(SDL_HINT_NO_SIGNAL_HANDLERS, "1");
    SDL_Init(SDL_INIT_EVENTS);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::string text(reinterpret_cast<const char*>(data), size);
    std::unique_ptr<banner_info_msg, FreeDeleter> shown(parse_show_image_data(text.data()));
    if (shown)
        check_slots(shown.get());
    bool parsed = parse_transmit_data(text.data()) == 0;
    // SDL adds events of its own to the queue (a poll sentinel): only the message counts.
    int messages = 0;
    SDL_Event event;
    while (SDL_PollEvent(&event)) {
        if (event.type != static_cast<Uint32>(EVENT_BANNER_INFO))
            continue;
        std::unique_ptr<banner_info_msg, FreeDeleter> message(static_cast<banner_info_msg*>(event.user.data1));
        check_slots(message.get());
        messages++;
    }
    if (messages != (parsed ? 1 : 0) || (shown != nullptr) != parsed)
        abort();
    return 0;
}
