// Setup's test of the board, the same on every system.
#include "host/link/host_setup.h"

#include "host/link/service_socket.h"
#include "hostlink/crc32.h"

namespace {

constexpr const char* TEST_TITLE = "Tavimoro is connected";

} // namespace

void name_test_game(const setup_request& request, const char* next)
{
    // A running service holds the link: the test goes through it.
    options test;
    test.device = request.device;
    test.title = TEST_TITLE;
    test.timeout_s = request.timeout_s;
    bool handed = false;
    if (int status = hand_to_service("info", test, handed); handed) {
        if (status == 0)
            say("the marquee shows the title \"%s\"%s\n", TEST_TITLE, next);
        return;
    }
    std::string device = request.device;
    board_link board;
    board.timeout_s = request.timeout_s;
    if ((device.empty() && find_link(request.serial, device) != 0) || open_link(device, board) != 0) {
        say("setup is done; once the board is plugged in, 'tavimoro-host info --title Test' shows a title on it\n");
        return;
    }
    init_crc32_table();
    if (send_message(board, json_text(test, true)) == 0)
        say("the marquee shows the title \"%s\"%s\n", TEST_TITLE, next);
}
