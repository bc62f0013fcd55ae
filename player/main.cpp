// The player: start-up in a fixed order, the one event loop of the process, and orderly shutdown.
// Built with TAVIMORO_FACTORY it is the factory test program, which runs only on a disk with the
// factory marker, steps through test colours on the recovery key and has no boot media, timer
// or packages.
#include "banner/bannerbar.h"
#include "banner/image.h"
#include "media/media_lookup.h"
#include "core/board_root.h"
#include "core/build_variant.h"
#include "core/common.h"
#include "core/events.h"
#include "core/signal_handler.h"
#include "core/timer.h"
#include "device/event_monitor.h"
#include "device/update.h"
#include "display/video.h"
#include "factory/factory_test.h"
#include "hostlink/banner_info.h"
#include "hostlink/hid_dev.h"
#include "playback/playbin.h"
#include "playback/queue.h"

#include <SDL.h>
#include <SDL_image.h>
#include <SDL_ttf.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

namespace {

constexpr Uint32 SDL_SUBSYSTEMS = SDL_INIT_TIMER | SDL_INIT_JOYSTICK | SDL_INIT_HAPTIC | SDL_INIT_GAMECONTROLLER |
                                  SDL_INIT_EVENTS;
static_assert(SDL_SUBSYSTEMS == 0x7201);
constexpr auto SCREEN_ON_SETTLE = std::chrono::seconds(1);
constexpr auto SCREEN_DECISION_DELAY = std::chrono::milliseconds(500);
constexpr auto TIMER_START_DELAY = std::chrono::milliseconds(100);
constexpr int GADGET_CONFIGURED = 2;
constexpr int HDMI_CHANNEL_MODE_0 = 1;
constexpr int HDMI_CHANNEL_OTHER = 3;
constexpr const char* HDMI_STATUS = "/sys/class/drm/card0-HDMI-A-1/status";

int update_image_state = 0;
char sdcard_path[PATH_BUF_SIZE];
char sdcard_vorlix_path[PATH_BUF_SIZE];
char video_file[PATH_BUF_SIZE];

void run_shell(const std::string& command)
{
    int status = system(command.c_str());
    (void)status;
}

void screen_set(const char* state)
{
    run_shell(std::string("echo ") + state + " > " + shell_quote(board_path(HDMI_STATUS)));
}

void screen_on()
{
    screen_set("on");
}

void screen_off()
{
    screen_set("off");
}

void show_title(const char* title)
{
    banner_bar_t record{};
    snprintf(record.title, sizeof record.title, "%s", title);
    set_bannerbar_info(record);
}

void init_banner_info()
{
    banner_bar_t record{};
    std::string boot = std::string(sdcard_vorlix_path) + "/.assets/vorlix-boot";
    if (file_exist((boot + ".mp4").c_str()))
        snprintf(record.video_file, sizeof record.video_file, "%s.mp4", boot.c_str());
    else
        snprintf(record.video_file, sizeof record.video_file, "%s", board_path("/rom/vorlix/vorlix-boot.mp4").c_str());
    if (file_exist((boot + ".png").c_str()))
        snprintf(record.image_file, sizeof record.image_file, "%s.png", boot.c_str());
    else if (file_exist((boot + ".jpg").c_str()))
        snprintf(record.image_file, sizeof record.image_file, "%s.jpg", boot.c_str());
    else
        snprintf(record.image_file, sizeof record.image_file, "%s", board_path("/rom/vorlix/vorlix-boot.png").c_str());
    set_bannerbar_info(record);
    gst_set_repeat_state(1);
}

// The name media are looked up by; the factory build's records have no title2.
const char* lookup_name(const banner_bar_t& record)
{
#ifdef TAVIMORO_FACTORY
    return record.title;
#else
    return record.title2;
#endif
}

void search_media(banner_bar_t& record)
{
    if (!find_vorlix_path(sdcard_vorlix_path))
        return;
    int result = find_game_media(sdcard_vorlix_path, lookup_name(record), record.text, &record);
    printf("%s: find_image_video_with_title ret %d\n", __func__, result);
    printf("%s: find_image_video_with_title video_file %s\n", __func__, record.video_file);
    printf("%s: find_image_video_with_title iamge file %s\n", __func__, record.image_file);
}

// The heap blocks an event carries (the message, the pushed picture's path); the firmware path
// belongs to the host link.
void release_event_message(const SDL_Event& event)
{
    if (event.type == static_cast<Uint32>(EVENT_BANNER_INFO))
        free(event.user.data1);
    else if (event.type == static_cast<Uint32>(EVENT_SHOW_IMAGE)) {
        free(event.user.data1);
        free(event.user.data2);
    }
}

// Events still queued at shutdown would take their messages with them when SDL quits.
void drain_events()
{
    SDL_Event event;
    while (SDL_PeepEvents(&event, 1, SDL_GETEVENT, SDL_FIRSTEVENT, SDL_LASTEVENT) > 0)
        release_event_message(event);
}

// A banner-info message already waiting in the queue replaces the one in hand as soon as it is
// taken: of a burst (a person scrolling through a game list) only the last is looked up and shown.
bool newer_banner_info_queued()
{
    SDL_Event next;
    return SDL_PeepEvents(&next, 1, SDL_PEEKEVENT, EVENT_BANNER_INFO, EVENT_BANNER_INFO) > 0;
}

// The factory build takes no packages, so there only an update drops messages.
bool messages_dropped()
{
    return update_image_state == 1 || package_transmit_state == 1;
}

// The fields a banner-info and a show-image message share; the romname slot of a pushed
// picture carries its caption.
void copy_shared_fields(banner_bar_t& record, const banner_info_msg& message)
{
    strip_copy(record.title, message.title);
    strip_copy(record.leaderboard, message.leaderboard);
    strip_copy(record.text, message.romname);
    if (record.leaderboard[0])
        replace_str_n(record.leaderboard);
}

// Logs a show-image message (in the factory build also a banner-info one) as it came and as
// copied into the record, and frees it.
void take_message(banner_bar_t& record, banner_info_msg* message, const char* func)
{
    printf("%s: type %s\n", func, message->type);
    printf("%s: title %s\n", func, message->title);
    printf("%s: leaderboard %s\n", func, message->leaderboard);
    printf("%s: text %s\n", func, message->romname);
    copy_shared_fields(record, *message);
    printf("%s: banner_info.title=%s\n", func, record.title);
    printf("%s: banner_info.leaderboard=%s\n", func, record.leaderboard);
    printf("%s: banner_info.text=%s\n", func, record.text);
    free(message);
}

#ifdef TAVIMORO_FACTORY
// Every message is shown, looked up by its title when it has one; nothing brings boot media.
void on_banner_info(banner_info_msg* message)
{
    if (messages_dropped()) {
        free(message);
        return;
    }
    banner_bar_t record{};
    if (message)
        take_message(record, message, __func__);
    if (newer_banner_info_queued())
        return;
    if (record.title[0])
        search_media(record);
    set_bannerbar_info(record);
}
#else
void on_banner_info(banner_info_msg* message)
{
    if (messages_dropped()) {
        free(message);
        return;
    }
    banner_bar_t record{};
    if (message) {
        printf("%s: type %s\n", __func__, message->type);
        printf("%s: title %s\n", __func__, message->title);
        printf("%s: title2 %s\n", __func__, message->title2);
        printf("%s: leaderboard %s\n", __func__, message->leaderboard);
        printf("%s: romname %s\n", __func__, message->romname);
        copy_shared_fields(record, *message);
        strip_copy(record.title2, message->title2);
        printf("%s: banner_info.title=%s\n", __func__, record.title);
        printf("%s: banner_info.title2=%s\n", __func__, record.title2);
        printf("%s: banner_info.leaderboard=%s\n", __func__, record.leaderboard);
        printf("%s: banner_info.romname=%s\n", __func__, record.text);
        free(message);
    }
    if (newer_banner_info_queued())
        return;
    if (!record.title2[0] && !record.text[0] && !record.leaderboard[0]) {
        init_banner_info();
        return;
    }
    if (record.title2[0])
        search_media(record);
    set_bannerbar_info(record);
}
#endif

void on_show_image(const char* picture, banner_info_msg* message)
{
    if (messages_dropped()) {
        free(message);
        return;
    }
    banner_bar_t record{};
    if (picture)
        snprintf(record.image_file, sizeof record.image_file, "%s", picture);
    if (message)
        take_message(record, message, __func__);
    set_bannerbar_info(record);
}

void handle(const SDL_Event& event)
{
    // The factory build starts no timer and takes no packages, so their events never come there.
    switch (static_cast<int>(event.type)) {
    case EVENT_TIMER:
        package_transmit_timeout();
        break;
    case EVENT_PLAYER_START:
        printf("%s: EVENT_PLAYER_START\n", __func__);
        set_uri_file(video_file);
        init_player_thread();
        break;
    case EVENT_PLAYER_STOP:
        printf("%s: EVENT_PLAYER_STOP\n", __func__);
        deinit_player_thread();
        break;
    case EVENT_PLAYER_PAUSE:
        printf("%s: EVENT_PLAYER_PAUSE\n", __func__);
        gst_player_pause();
        break;
    case EVENT_PLAYER_PLAY:
        printf("%s: EVENT_PLAYER_PLAY\n", __func__);
        gst_player_play();
        break;
    case EVENT_BANNER_INFO:
        on_banner_info(static_cast<banner_info_msg*>(event.user.data1));
        break;
    case EVENT_UPDATE_IMG:
        update_image_state = 1;
        show_title("Updating ......");
        run_shell(shell_quote(board_path("/emulator/update")));
        break;
    case EVENT_GADGET_STATE_CONFIGURED:
        printf("%s: event type: EVENT_GADGET_STATE_CONFIGURED\n", __func__);
        screen_on();
        set_hdmi_state(1);
        break;
    case EVENT_GADGET_STATE_SUSPEND:
        printf("%s: event type: EVENT_GADGET_STATE_SUSPEND\n", __func__);
        set_hdmi_state(0);
        screen_off();
        if (HAS_BOOT_MEDIA)
            init_banner_info();
        break;
    case EVENT_SHOW_IMAGE:
        on_show_image(static_cast<const char*>(event.user.data1), static_cast<banner_info_msg*>(event.user.data2));
        free(event.user.data1);
        break;
    case EVENT_FW_UPDATE:
        update_image_state = 1;
        show_title("Updating ......");
        update();
        break;
    case EVENT_RECOVERY_DOWN:
        printf("%s: recovery down\n", __func__);
        if constexpr (FACTORY_BUILD)
            factory_reset();
        break;
    case EVENT_PACKAGE_TRANSMIT_SUCESS:
        printf("%s: EVENT_PACKAGE_TRANSMIT_SUCESS\n", __func__);
        break;
    case EVENT_PACKAGE_TRANSMIT_START:
        printf("%s: EVENT_PACKAGE_TRANSMIT_START\n", __func__);
        package_transmit_state = 1;
        package_transmit_reset();
        show_title("Please wait. Downloading ......");
        break;
    case EVENT_PACKAGE_TRANSMIT_END:
        printf("%s: EVENT_PACKAGE_TRANSMIT_END %d\n", __func__, event.user.code);
        package_transmit_state = 0;
        if (event.user.code != 0)
            init_banner_info();
        break;
    case EVENT_PACKAGE_DECOMPRESS_START:
        show_title("Please wait. Unzipping ......");
        break;
    case EVENT_PACKAGE_DECOMPRESS_END:
        init_banner_info();
        break;
    default:
        break;
    }
}

} // namespace

int main()
{
    setvbuf(stdout, nullptr, _IONBF, 0);
    setvbuf(stderr, nullptr, _IONBF, 0);
    if constexpr (FACTORY_BUILD) {
        printf("Vorlix Factory Test V1.0.1\n");
        // Off the production line the program leaves the board as it found it.
        if (!find_factory_file())
            return 0;
    }
    set_quit_hook(playbin_exit);
    install_signal_handler();

    init_hdmi_mode_gpio();
    set_hdmi_switch_channel(get_hdmi_mode_state() == 0 ? HDMI_CHANNEL_MODE_0 : HDMI_CHANNEL_OTHER);
    set_hdmi_state(1);
    if (get_drm_card_state() == 0) {
        screen_on();
        std::this_thread::sleep_for(SCREEN_ON_SETTLE);
    }
    snprintf(sdcard_path, sizeof sdcard_path, "%s", board_path("/media/usbhd-sda1").c_str());
    snprintf(sdcard_vorlix_path, sizeof sdcard_vorlix_path, "%s", (std::string(sdcard_path) + "/vorlix").c_str());
    snprintf(video_file, sizeof video_file, "%s", board_path("/media/usbhd-sda1/smile_300.mp4").c_str());
    set_player_state(PLAYER_STATE_STOPPED);
    if constexpr (!FACTORY_BUILD)
        printf("Tavimoro V1.0.6\n");

    // The signal thread, not SDL, turns SIGINT and SIGTERM into the quit event.
    SDL_SetHint(SDL_HINT_NO_SIGNAL_HANDLERS, "1");
    if (SDL_Init(SDL_SUBSYSTEMS) != 0) {
        printf("SDL_Init failed: %s\n", SDL_GetError());
        return -1;
    }
    IMG_Init(IMG_INIT_JPG | IMG_INIT_PNG);
    TTF_Init();
    if (HAS_BOOT_MEDIA)
        init_banner_info();

    start_key_thread();
    start_event_thread();
    init_decoder_queue();
    start_hid_thread();
    show_video_mode();
    set_image_drawer(draw_image);
    init_video_thread();
    init_image_thread();
    if constexpr (FACTORY_BUILD)
        init_factory_reset();
    set_player_state(PLAYER_STATE_IDLE);

    std::this_thread::sleep_for(SCREEN_DECISION_DELAY);
    if (get_usb_gadget_state() != GADGET_CONFIGURED) {
        set_hdmi_state(0);
        screen_off();
    }
    init_banner_thread();
    std::this_thread::sleep_for(TIMER_START_DELAY);
    if (RUNS_TIMER)
        start_timer();

    while (main_exit == 0) {
        SDL_Event event;
        if (wait_event(&event) == 0)
            continue;
        if (main_exit == 1) {
            release_event_message(event);
            break;
        }
        if (event.type == SDL_QUIT) {
            main_exit = 1;
            break;
        }
        handle(event);
    }

    printf("%s: main while exit\n", __func__);
    stop_event_thread();
    deinit_banner_thread();
    deinit_video_thread();
    deinit_player_thread();
    stop_hid_thread();
    release_decoder_queue();
    deinit_image_res();
    stop_key_thread();
    stop_timer();
    drain_events();
    TTF_Quit();
    IMG_Quit();
    SDL_Quit();
    remove_signal_handler();
    return 0;
}
