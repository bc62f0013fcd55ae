// Setup's test of the board, the same on every system.
#include "host/link/host_setup.h"

#include "hostlink/crc32.h"

namespace {

constexpr const char* TEST_MESSAGE = R"({"title":"Tavimoro is connected"})";

} // namespace

void name_test_game(const setup_request& request, const char* next)
{
    std::string device = request.device;
    board_link board;
    board.timeout_s = request.timeout_s;
    if ((device.empty() && find_link(request.serial, device) != 0) || open_link(device, board) != 0) {
        say("setup is done; once the board is plugged in, 'tavimoro-host info --title Test' shows a title on it\n");
        return;
    }
    init_crc32_table();
    if (send_message(board, TEST_MESSAGE) == 0)
        say("the marquee shows the title \"Tavimoro is connected\"%s\n", next);
}
