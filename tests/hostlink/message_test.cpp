// Banner-info messages and show-image transfers end to end through the reader thread.
#include "core/events.h"
#include "hostlink/banner_info.h"
#include "hostlink/crc32.h"
#include "tests/hostlink/link_harness.h"

#include <cstring>

namespace {

using namespace hostlink_test;

const std::string STAR_FIGHTER = R"({"title":"Star Fighter","title2":"Star Fighter","type":1})";

class MessageTest : public HostLinkTest {
protected:
    void SetUp() override
    {
        HostLinkTest::SetUp();
        init_crc32_table();
    }

    // Sends a whole banner-info message; the status of the answer to its last report.
    int send_message(const std::string& text)
    {
        uint32_t size = static_cast<uint32_t>(text.size());
        send(make_message_prepare(size, packet_count(size), crc32_calc(text.data(), size)));
        EXPECT_EQ(reply_status(CMD_MESSAGE_PREPARE), 0);
        send_payload(CMD_MESSAGE_DATA, text);
        return reply_status(CMD_MESSAGE_DATA);
    }

    const banner_info_msg* banner_info()
    {
        if (!wait_events(1))
            return nullptr;
        EXPECT_EQ(events()[0].type, static_cast<Uint32>(EVENT_BANNER_INFO));
        return static_cast<const banner_info_msg*>(events()[0].user.data1);
    }

    // Show-image payload: picture size, text size, picture, text.
    static std::string show_image_payload(const std::string& picture, const std::string& text)
    {
        std::string payload(SHOW_IMAGE_HEADER_SIZE, '\0');
        put_u32(reinterpret_cast<uint8_t*>(payload.data()), static_cast<uint32_t>(picture.size()));
        put_u32(reinterpret_cast<uint8_t*>(payload.data()) + 4, static_cast<uint32_t>(text.size()));
        return payload + picture + text;
    }
};

TEST_F(MessageTest, BannerInfoBecomesTheMessageBlock)
{
    EXPECT_EQ(send_message(STAR_FIGHTER), 0);
    const banner_info_msg* info = banner_info();
    ASSERT_NE(info, nullptr);
    EXPECT_STREQ(info->title, "\"Star Fighter\"");
    EXPECT_STREQ(info->title2, "\"Star Fighter\"");
    EXPECT_STREQ(info->type, "1");
    EXPECT_STREQ(info->romname, "");
    EXPECT_STREQ(info->leaderboard, "");
}

TEST_F(MessageTest, LongValuesAreCutToTheirSlots)
{
    std::string text = R"({"type":"abcdef","title":")" + std::string(300, 't') + R"(","leaderboard":")" +
                       std::string(1000, 'l') + R"(","romname":")" + std::string(200, 'r') + R"("})";
    EXPECT_EQ(send_message(text), 0);
    const banner_info_msg* info = banner_info();
    ASSERT_NE(info, nullptr);
    EXPECT_EQ(strlen(info->type), BANNER_INFO_TYPE_SIZE - 1);
    EXPECT_EQ(std::string(info->title), "\"" + std::string(BANNER_INFO_TITLE_SIZE - 2, 't'));
    EXPECT_EQ(strlen(info->leaderboard), BANNER_INFO_LEADERBOARD_SIZE - 1);
    EXPECT_EQ(strlen(info->romname), BANNER_INFO_ROMNAME_SIZE - 1);
}

TEST_F(MessageTest, WrongCrcOrNonJsonTextGivesNoEvent)
{
    send(make_message_prepare(STAR_FIGHTER.size(), 1, crc32_calc(STAR_FIGHTER.data(), STAR_FIGHTER.size()) ^ 4));
    EXPECT_EQ(reply_status(CMD_MESSAGE_PREPARE), 0);
    send_payload(CMD_MESSAGE_DATA, STAR_FIGHTER);
    EXPECT_EQ(reply_status(CMD_MESSAGE_DATA), 1);

    EXPECT_EQ(send_message("not json {"), 0);
    EXPECT_FALSE(wait_events(1, SILENCE));
}

TEST_F(MessageTest, ThreePacketMessageIsAnsweredAfterItsLastPacketOnly)
{
    std::string text = R"({"title2":")" + std::string(120, 'x') + R"("})";
    ASSERT_GT(text.size(), 2 * PAYLOAD_MAX);
    send(make_message_prepare(text.size(), 3, crc32_calc(text.data(), text.size())));
    EXPECT_EQ(reply_status(CMD_MESSAGE_PREPARE), 0);
    send(make_data(CMD_MESSAGE_DATA, 0, text.data(), PAYLOAD_MAX));
    send(make_data(CMD_MESSAGE_DATA, 4, "garbage", 7));
    send(make_data(CMD_MESSAGE_DATA, 1, text.data() + PAYLOAD_MAX, PAYLOAD_MAX));
    EXPECT_TRUE(silent());
    send(make_data(CMD_MESSAGE_DATA, 2, text.data() + 2 * PAYLOAD_MAX, text.size() - 2 * PAYLOAD_MAX));
    EXPECT_EQ(reply_status(CMD_MESSAGE_DATA), 0);
    ASSERT_NE(banner_info(), nullptr);

    // The message is over: a further data report without a prepare is ignored.
    send(make_data(CMD_MESSAGE_DATA, 2, "x", 1));
    EXPECT_TRUE(silent());
}

TEST_F(MessageTest, DataWithoutPrepareIsIgnored)
{
    send(make_data(CMD_MESSAGE_DATA, 0, STAR_FIGHTER.data(), PAYLOAD_MAX));
    EXPECT_TRUE(silent());
}

TEST_F(MessageTest, MessagesBeyondTheBufferAreRefusedWithoutOverflow)
{
    // Announced larger than the buffer: every byte arrives, but the message cannot be taken.
    std::string big = R"({"title":")" + std::string(5000, 'b') + R"("})";
    EXPECT_EQ(send_message(big), 1);
    // Announced small, but more data sent than the buffer holds.
    send(make_message_prepare(10, 200, 0));
    EXPECT_EQ(reply_status(CMD_MESSAGE_PREPARE), 0);
    send_payload(CMD_MESSAGE_DATA, std::string(200 * PAYLOAD_MAX, 'z'));
    EXPECT_EQ(reply_status(CMD_MESSAGE_DATA), 1);
    // An oversized payload length is dropped, not copied.
    std::string text = "{}";
    send(make_message_prepare(2, 1, crc32_calc(text.data(), 2)));
    EXPECT_EQ(reply_status(CMD_MESSAGE_PREPARE), 0);
    hid_report oversized = make_data(CMD_MESSAGE_DATA, 0, text.data(), 2);
    oversized[OFFSET_LENGTH] = 255;
    send(oversized);
    EXPECT_TRUE(silent());
    send(make_data(CMD_MESSAGE_DATA, 0, text.data(), 2));
    EXPECT_EQ(reply_status(CMD_MESSAGE_DATA), 0);
}

TEST_F(MessageTest, ShowImageStoresThePictureAndShowsItsText)
{
    std::string picture = pattern(1000, 3);
    std::string text = R"({"title":"Hi score","leaderboard":"AAA 100\n"})";
    text.resize(50, ' ');
    std::string payload = show_image_payload(picture, text);
    ASSERT_EQ(payload.size(), 1058u);
    EXPECT_EQ(transfer(CMD_IMAGE_PREPARE, "show.png", payload), 0);
    EXPECT_EQ(read_file("/tmp/show.png"), picture);
    ASSERT_TRUE(wait_events(1));
    const SDL_Event& event = events()[0];
    EXPECT_EQ(event.type, static_cast<Uint32>(EVENT_SHOW_IMAGE));
    EXPECT_EQ(static_cast<const char*>(event.user.data1), path("/tmp/show.png"));
    const auto* info = static_cast<const banner_info_msg*>(event.user.data2);
    ASSERT_NE(info, nullptr);
    EXPECT_STREQ(info->title, "\"Hi score\"");
    EXPECT_STREQ(info->leaderboard, "\"AAA 100\\n\"");
}

TEST_F(MessageTest, ShowImageWithTextThatIsNotJsonStillShowsThePicture)
{
    std::string payload = show_image_payload(pattern(300, 4), "plain words");
    EXPECT_EQ(transfer(CMD_IMAGE_PREPARE, "plain.png", payload), 0);
    ASSERT_TRUE(wait_events(1));
    EXPECT_EQ(events()[0].user.data2, nullptr);
    EXPECT_EQ(read_file("/tmp/plain.png"), pattern(300, 4));
}

TEST_F(MessageTest, ShowImageSizesBeyondTheBufferAreRefused)
{
    for (auto [picture_size, text_size] : {std::pair<uint32_t, uint32_t>{511000, 993},  // 512001 in all
                                           {0xFFFFFFF8u, 16u}}) {                       // 16 in 32 bits
        std::string header(SHOW_IMAGE_HEADER_SIZE, '\0');
        put_u32(reinterpret_cast<uint8_t*>(header.data()), picture_size);
        put_u32(reinterpret_cast<uint8_t*>(header.data()) + 4, text_size);
        ASSERT_EQ(prepare(CMD_IMAGE_PREPARE, 8, 1, "big.png"), 0);
        send_payload(CMD_IMAGE_DATA, header);
        send(make_verify(CMD_IMAGE_VERIFY, crc32_calc(header.data(), header.size())));
        EXPECT_EQ(reply_status(CMD_IMAGE_VERIFY), 1);
    }
    EXPECT_FALSE(wait_events(1, SILENCE));
}

TEST_F(MessageTest, ShowImageRefusesNamesOutsideItsDirectory)
{
    EXPECT_EQ(prepare(CMD_IMAGE_PREPARE, 8, 1, "../sbin/reboot"), 1);
    EXPECT_EQ(prepare(CMD_IMAGE_PREPARE, 8, 1, ".."), 1);
}

} // namespace
