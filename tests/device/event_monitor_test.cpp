// Hardware monitors against simulated sysfs files, USB disks and a real SDL event queue.
#include "core/events.h"
#include "device/event_monitor.h"
#include "tests/support/board_fixture.h"
#include "tests/support/firmware_signing.h"

#include <SDL.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

using board_test::BoardRootTest;

namespace {

constexpr const char* UDC_STATE = "/sys/devices/platform/10180000.usb/udc/10180000.usb/state";
constexpr const char* HDMI_MODE = "/sys/class/gpio/gpio1013/value";
constexpr const char* RECOVERY_KEY = "/sys/class/gpio/gpio1072/value";
constexpr const char* DRM_STATUS = "/sys/class/drm/card0-HDMI-A-1/status";
constexpr const char* SWITCH_CHANNEL = "/sys/devices/platform/20072000.i2c/i2c-0/0-005a/lt8631ux_oper_channel";
constexpr const char* RECORDED_SUM = "/data/firmware_md5sum";
constexpr const char* IMAGE_A_SUM = "26deb7daf7183d310b7b0e81904cf2d4";  // md5 of "image-a"

class EventMonitorTest : public BoardRootTest {
protected:
    void SetUp() override
    {
        BoardRootTest::SetUp();
        SDL_SetHint(SDL_HINT_NO_SIGNAL_HANDLERS, "1");
        ASSERT_EQ(SDL_Init(SDL_INIT_EVENTS), 0) << SDL_GetError();
        SDL_FlushEvents(SDL_FIRSTEVENT, SDL_LASTEVENT);
    }
    void TearDown() override
    {
        stop_event_thread();
        stop_key_thread();
        close_usb_gadget_state();
        close_hdmi_mode_state();
        SDL_Quit();
        BoardRootTest::TearDown();
    }

    static std::vector<Uint32> pending()
    {
        std::vector<Uint32> types;
        SDL_Event event;
        while (SDL_PollEvent(&event))
            types.push_back(event.type);
        return types;
    }

    // Disk mount points in the order a listing of /media gives them.
    static std::vector<std::string> disks_in_listing_order()
    {
        std::vector<std::string> names;
        for (const auto& entry : std::filesystem::directory_iterator(path("/media")))
            if (entry.is_directory())
                names.push_back(entry.path().filename().string());
        return names;
    }

    static std::string pass_log(event_monitor_state& state)
    {
        testing::internal::CaptureStdout();
        event_proc_pass(state);
        return testing::internal::GetCapturedStdout();
    }
};

const std::vector<Uint32> NONE;

TEST_F(EventMonitorTest, ProbesReadTheirSysfsFiles)
{
    EXPECT_EQ(get_usb_gadget_state(), 2);
    // The descriptor stays open: a new state is read from the start of the same file.
    write_file(UDC_STATE, "suspended\n");
    EXPECT_EQ(get_usb_gadget_state(), 1);
    write_file(UDC_STATE, "");
    EXPECT_EQ(get_usb_gadget_state(), -1);
    close_usb_gadget_state();
    remove(UDC_STATE);
    testing::internal::CaptureStdout();
    EXPECT_EQ(get_usb_gadget_state(), -1);
    EXPECT_NE(testing::internal::GetCapturedStdout().find("get_usb_gadget_state: Faield to open " + path(UDC_STATE) + ", fd=-1\n"),
              std::string::npos);

    EXPECT_EQ(get_hdmi_mode_state(), 1);
    write_file(HDMI_MODE, "0\n");
    EXPECT_EQ(get_hdmi_mode_state(), 0);
    close_hdmi_mode_state();
    remove(HDMI_MODE);
    EXPECT_EQ(get_hdmi_mode_state(), -1);

    EXPECT_EQ(get_recovery_state(), 1);
    write_file(RECOVERY_KEY, "0\n");
    EXPECT_EQ(get_recovery_state(), 0);
    write_file(RECOVERY_KEY, "");
    EXPECT_EQ(get_recovery_state(), -1);

    EXPECT_EQ(get_drm_card_state(), 1);
    write_file(DRM_STATUS, "disconnected\n");
    EXPECT_EQ(get_drm_card_state(), 0);
    remove(DRM_STATUS);
    EXPECT_EQ(get_drm_card_state(), 0);
}

TEST_F(EventMonitorTest, SearchesTakeTheFirstDiskThatHasIt)
{
    char out[256] = "untouched";
    EXPECT_EQ(find_vorlix_path(out), 0);
    EXPECT_EQ(find_update_img(out), 0);
    EXPECT_STREQ(out, "untouched");

    // Plain files directly in /media are not disks.
    write_file("/media/vorlix", "");
    write_file("/media/vorlix_update.img", "");
    EXPECT_EQ(find_vorlix_path(nullptr), 0);
    EXPECT_EQ(find_update_img(nullptr), 0);

    add_disk("usbhd-sdb1", 1);
    add_disk("usbhd-sdc1", 1);
    std::vector<std::string> disks = disks_in_listing_order();
    for (const std::string& disk : disks) {
        write_file("/media/" + disk + "/vorlix_update.img", "x");
        make_dir("/media/" + disk + "/vorlix");
    }
    EXPECT_EQ(find_vorlix_path(out), 1);
    EXPECT_EQ(out, path("/media/" + disks[0] + "/vorlix"));
    EXPECT_EQ(find_update_img(out), 1);
    EXPECT_EQ(out, path("/media/" + disks[0] + "/vorlix_update.img"));
}

TEST_F(EventMonitorTest, RecordedSumIsReadWhenPresent)
{
    char out[DATA_MD5SUM_BUF_SIZE] = {};
    EXPECT_EQ(get_data_md5sum(out), -1);
    write_file(RECORDED_SUM, "");
    EXPECT_EQ(get_data_md5sum(out), -1);
    write_file(RECORDED_SUM, std::string(IMAGE_A_SUM) + "\n");
    EXPECT_EQ(get_data_md5sum(out), 0);
    EXPECT_EQ(std::string(out), std::string(IMAGE_A_SUM) + "\n");
    // A record longer than the read still comes back terminated.
    write_file(RECORDED_SUM, std::string(1000, 'f'));
    EXPECT_EQ(get_data_md5sum(out), 0);
    EXPECT_EQ(strlen(out), DATA_MD5SUM_BUF_SIZE - 1);
}

TEST_F(EventMonitorTest, KnownImageIsCheckedOncePerInsertion)
{
    write_file(RECORDED_SUM, std::string(IMAGE_A_SUM) + "\n");
    event_monitor_state state = event_proc_begin();
    pending();
    write_file("/media/usbhd-sda1/vorlix_update.img", "image-a");
    for (int insertion = 0; insertion < 2; insertion++) {
        std::string log = pass_log(state);
        EXPECT_NE(log.find("firmware not change"), std::string::npos) << log;
        EXPECT_EQ(log.find("update img"), std::string::npos) << log;
        EXPECT_EQ(pass_log(state).find("md5sum"), std::string::npos) << "an image still present is not checked again";
        std::vector<Uint32> events = pending();
        EXPECT_EQ(std::count(events.begin(), events.end(), EVENT_UPDATE_IMG), 0);
        // Unplug and plug the disk again.
        remove("/media/usbhd-sda1/vorlix_update.img");
        event_proc_pass(state);
        write_file("/media/usbhd-sda1/vorlix_update.img", "image-a");
    }
    EXPECT_EQ(read_file(RECORDED_SUM), std::string(IMAGE_A_SUM) + "\n");
}

std::string sum_seen_at_update_event;

int record_sum_at_update_event(void*, SDL_Event* event)
{
    if (event->type == static_cast<Uint32>(EVENT_UPDATE_IMG))
        sum_seen_at_update_event = BoardRootTest::read_file(RECORDED_SUM);
    return 0;
}

TEST_F(EventMonitorTest, NewImageIsRecordedBeforeTheUpdateIsAskedFor)
{
    add_disk("usbhd-sdb1", 1);
    std::vector<std::string> disks = disks_in_listing_order();
    write_file("/media/" + disks[0] + "/vorlix_update.img", "image-a");
    write_file("/media/" + disks[1] + "/vorlix_update.img", "image-b");
    write_file(RECORDED_SUM, "0123\n");

    sum_seen_at_update_event.clear();
    SDL_AddEventWatch(record_sum_at_update_event, nullptr);
    event_monitor_state state = event_proc_begin();
    std::string log = pass_log(state);
    SDL_DelEventWatch(record_sum_at_update_event, nullptr);

    EXPECT_NE(log.find("update img " + path("/media/" + disks[0] + "/vorlix_update.img")), std::string::npos) << log;
    EXPECT_EQ(sum_seen_at_update_event, std::string(IMAGE_A_SUM) + "\n") << "only the first disk in listing order counts";
    std::vector<Uint32> events = pending();
    EXPECT_EQ(std::count(events.begin(), events.end(), EVENT_UPDATE_IMG), 1);
}

TEST_F(EventMonitorTest, ImageWithoutSumAsksForNothing)
{
    // An md5sum that cannot read the image: no output, failure status.
    write_file("/sim/bin/md5sum", "#!/bin/sh\necho unreadable >&2\nexit 1\n");
    chmod(path("/sim/bin/md5sum").c_str(), 0755);
    write_file("/media/usbhd-sda1/vorlix_update.img", "image-a");
    event_monitor_state state = event_proc_begin();
    pending();
    std::string log = pass_log(state);
    EXPECT_NE(log.find("Failed to get md5sum of"), std::string::npos) << log;
    std::vector<Uint32> events = pending();
    EXPECT_EQ(std::count(events.begin(), events.end(), EVENT_UPDATE_IMG), 0);
    EXPECT_EQ(read_file(RECORDED_SUM), "");

    // Once the sum can be taken, the next insertion goes ahead.
    remove("/sim/bin/md5sum");
    event_proc_pass(state);
    EXPECT_EQ(read_file(RECORDED_SUM), "") << "the image is not checked again until it is reinserted";
    remove("/media/usbhd-sda1/vorlix_update.img");
    event_proc_pass(state);
    write_file("/media/usbhd-sda1/vorlix_update.img", "image-a");
    event_proc_pass(state);
    EXPECT_EQ(read_file(RECORDED_SUM), std::string(IMAGE_A_SUM) + "\n");
    events = pending();
    EXPECT_EQ(std::count(events.begin(), events.end(), EVENT_UPDATE_IMG), 1);
}

TEST_F(EventMonitorTest, ARefusedImageIsCheckedAgainOnlyWhenItChangesOrItsDiskReturns)
{
    if (!board_test::have_minisign())
        GTEST_SKIP() << board_test::NO_MINISIGN;
    ASSERT_TRUE(board_test::make_signing_key("board"));
    board_test::install_board_key("board");
    const std::string image = "/media/usbhd-sda1/vorlix_update.img";
    write_file(image, "image-a");
    event_monitor_state state = event_proc_begin();
    pending();
    auto refusals = [&] {
        std::string log = pass_log(state);
        return log.find(path(image) + " refused: no signature file beside it") != std::string::npos;
    };
    EXPECT_TRUE(refusals());
    EXPECT_FALSE(refusals()) << "unchanged, it is not read again";
    EXPECT_EQ(read_file(RECORDED_SUM), "") << "a refused image is not recorded";

    remove("/media/usbhd-sda1");
    event_proc_pass(state);
    add_disk("usbhd-sda1", 1);
    write_file(image, "image-a");
    EXPECT_TRUE(refusals()) << "its disk came back";

    ASSERT_TRUE(board_test::sign_image(image, "board"));
    std::string log = pass_log(state);
    EXPECT_NE(log.find("update img " + path(image)), std::string::npos) << log;
    EXPECT_EQ(read_file(RECORDED_SUM), std::string(IMAGE_A_SUM) + "\n");
    std::vector<Uint32> events = pending();
    EXPECT_EQ(std::count(events.begin(), events.end(), EVENT_UPDATE_IMG), 1);
}

TEST_F(EventMonitorTest, GadgetStateChangesBecomeEvents)
{
    write_file(UDC_STATE, "default\n");
    event_monitor_state state = event_proc_begin();
    event_proc_pass(state);
    EXPECT_EQ(pending(), std::vector<Uint32>{EVENT_GADGET_STATE_SUSPEND}) << "the first read always reports";
    write_file(UDC_STATE, "suspended\n");
    event_proc_pass(state);
    EXPECT_EQ(pending(), NONE);
    write_file(UDC_STATE, "configured\n");
    event_proc_pass(state);
    EXPECT_EQ(pending(), std::vector<Uint32>{EVENT_GADGET_STATE_CONFIGURED});
    event_proc_pass(state);
    EXPECT_EQ(pending(), NONE);
}

TEST_F(EventMonitorTest, HdmiModeDrivesTheSwitchChannel)
{
    event_monitor_state state = event_proc_begin();
    event_proc_pass(state);
    EXPECT_EQ(read_file(SWITCH_CHANNEL), "") << "an unchanged mode leaves the switch alone";
    write_file(HDMI_MODE, "0\n");
    event_proc_pass(state);
    EXPECT_EQ(read_file(SWITCH_CHANNEL), "1\n");
    write_file(HDMI_MODE, "1\n");
    event_proc_pass(state);
    EXPECT_EQ(read_file(SWITCH_CHANNEL), "3\n");
    write_file(HDMI_MODE, "0\n");
    event_proc_pass(state);
    EXPECT_EQ(read_file(SWITCH_CHANNEL), "1\n");

    // A failed controller read skips the rest of the pass, the mode input included.
    close_usb_gadget_state();
    remove(UDC_STATE);
    write_file(HDMI_MODE, "1\n");
    event_proc_pass(state);
    EXPECT_EQ(read_file(SWITCH_CHANNEL), "1\n");

    // An unreadable mode input selects channel 3.
    write_file(UDC_STATE, "configured\n");
    close_hdmi_mode_state();
    remove(HDMI_MODE);
    write_file(SWITCH_CHANNEL, "");
    event_proc_pass(state);
    EXPECT_EQ(read_file(SWITCH_CHANNEL), "3\n");
}

TEST_F(EventMonitorTest, RecoveryKeyPressIsReportedOnce)
{
    write_file(RECOVERY_KEY, "0\n");
    int last = key_proc_pass(1);
    EXPECT_EQ(pending(), std::vector<Uint32>{EVENT_RECOVERY_DOWN});
    last = key_proc_pass(last);
    EXPECT_EQ(pending(), NONE) << "holding the key pushes nothing more";
    write_file(RECOVERY_KEY, "1\n");
    last = key_proc_pass(last);
    remove(RECOVERY_KEY);
    last = key_proc_pass(last);
    EXPECT_EQ(last, -1);
    EXPECT_EQ(pending(), NONE);
    write_file(RECOVERY_KEY, "0\n");
    key_proc_pass(last);
    EXPECT_EQ(pending(), std::vector<Uint32>{EVENT_RECOVERY_DOWN}) << "a failed read is remembered like a release";
}

TEST_F(EventMonitorTest, ThreadsPollUntilStopped)
{
    write_file(RECOVERY_KEY, "0\n");
    ASSERT_EQ(start_key_thread(), 0);
    EXPECT_EQ(start_key_thread(), 0) << "a running thread is kept";
    ASSERT_EQ(start_event_thread(), 0);
    SDL_Event event;
    std::vector<Uint32> seen;
    while (seen.size() < 2 && SDL_WaitEventTimeout(&event, 3000))
        seen.push_back(event.type);
    std::sort(seen.begin(), seen.end());
    EXPECT_EQ(seen, (std::vector<Uint32>{EVENT_GADGET_STATE_CONFIGURED, EVENT_RECOVERY_DOWN}));
    stop_key_thread();
    stop_event_thread();
    write_file(RECOVERY_KEY, "1\n");
    write_file(RECOVERY_KEY, "0\n");
    EXPECT_EQ(SDL_WaitEventTimeout(&event, 100), 0) << "a stopped key thread reports nothing";
}

} // namespace
