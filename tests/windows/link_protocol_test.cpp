// The link tool's protocol code as the Windows build compiles it, run under Wine: messages and
// transfers against a stand-in board behind the port, and the order of events kept with the
// system's own file locks.
#include "host/link/event_order.h"
#include "host/link/link_client.h"
#include "hostlink/crc32.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <deque>
#include <filesystem>
#include <string>
#include <vector>

// The stand-in board: it answers as the board does, and keeps what it received.
struct link_port {
    std::deque<hid_report> replies;
    std::string message;            // the last whole message
    std::string data;               // the data of the transfer under way
    uint32_t expected_crc = 0;
    uint32_t count = 0;             // data reports the prepare announced
    bool silent = false;

    void reply(uint8_t command, uint8_t status)
    {
        hid_report r;
        fill_reply(r.data(), command, status);
        replies.push_back(r);
    }
};

void close_port(link_port* port)
{
    delete port;
}

port_handle open_port(const std::string&, bool&, std::string&)
{
    return port_handle(new link_port);
}

bool write_report(link_port& port, const hid_report& r)
{
    if (port.silent)
        return true;
    uint8_t command = r[OFFSET_COMMAND];
    const char* payload = reinterpret_cast<const char*>(&r[OFFSET_PAYLOAD]);
    switch (command) {
    case CMD_MESSAGE_PREPARE:
        port.data.clear();
        port.expected_crc = get_u32(&r[OFFSET_NAME]);
        port.count = get_u32(&r[OFFSET_COUNT]);
        port.reply(command, 0);
        break;
    case CMD_MESSAGE_DATA:
        port.data.append(payload, r[OFFSET_LENGTH]);
        if (get_u32(&r[OFFSET_PACKET_ID]) + 1 >= port.count) {
            bool whole = crc32_calc(port.data.data(), port.data.size()) == port.expected_crc;
            if (whole)
                port.message = port.data;
            port.reply(command, whole ? 0 : 1);
        }
        break;
    case CMD_FILE_PREPARE:
        port.data.clear();
        port.reply(command, 0);
        break;
    case CMD_FILE_DATA:
        port.data.append(payload, r[OFFSET_LENGTH]);
        break;
    case CMD_FILE_VERIFY:
        port.reply(command, crc32_calc(port.data.data(), port.data.size()) == get_u32(&r[OFFSET_CRC]) ? 0 : 1);
        break;
    }
    return true;
}

int read_report(link_port& port, hid_report& r, int)
{
    if (port.replies.empty())
        return 0;
    r = port.replies.front();
    port.replies.pop_front();
    return 1;
}

std::string last_port_error()
{
    return "stand-in";
}

namespace {

class WindowsLinkTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        init_crc32_table();
        set_quiet(true);
        ASSERT_EQ(open_link("board", board), 0);
        board.timeout_s = 1;
    }
    board_link board;
};

TEST_F(WindowsLinkTest, MessagesAndFilesArriveWholeAndASilentBoardIsALinkFailure)
{
    // Shorter than a data report, and split over several: the board answers after the last.
    for (std::string text : {std::string(R"({"title":"Pong"})"), "{\"title\":\"" + std::string(150, 'x') + "\"}"}) {
        EXPECT_EQ(send_message(board, text), 0);
        EXPECT_EQ(board.port->message, text);
    }

    std::string file = (std::filesystem::temp_directory_path() / "tavimoro-transfer.bin").string();
    std::string data;
    for (int i = 0; i < 10000; i++)
        data += static_cast<char>(i * 7);
    FILE* out = fopen(file.c_str(), "wb");
    ASSERT_NE(out, nullptr);
    fwrite(data.data(), 1, data.size(), out);
    fclose(out);
    EXPECT_EQ(transfer_file(board, FILE_FAMILY, file, "game.bin"), 0);
    EXPECT_EQ(board.port->data, data);
    std::filesystem::remove(file);

    board.port->silent = true;
    EXPECT_EQ(send_message(board, "{}"), EXIT_LINK);
}

TEST_F(WindowsLinkTest, AnEventThatALaterOneOvertookDropsOut)
{
    event_place first, second;
    std::string selection = R"({"title":"Pong"})";
    ASSERT_EQ(take_event_place("board", &selection, first), 0);
    ASSERT_EQ(take_event_place("board", nullptr, second), 0);
    EXPECT_EQ(second.number, first.number + 1);
    EXPECT_EQ(remembered_selection(second), selection);

    int sent = 0;
    bool dropped = false;
    EXPECT_EQ(send_in_order(first, [&] { return ++sent, 0; }, dropped), 0);
    EXPECT_TRUE(dropped);
    EXPECT_EQ(send_in_order(second, [&] { return ++sent, 0; }, dropped), 0);
    EXPECT_FALSE(dropped);
    EXPECT_EQ(sent, 1);
}

} // namespace
