// The GL renderer on Mesa's software renderer through the virtual display, checked pixel by
// pixel in the screen file.
#include "display/opengl.h"
#include "tests/display/display_test_support.h"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>

namespace {

using board_test::pixel_at;
using board_test::screen_pixel;
using display_test::BAND_HEIGHT;

constexpr int WIDTH = 1920;
constexpr int HEIGHT = 1080;
constexpr screen_pixel BLACK = {0, 0, 0, 255};

class RendererTest : public display_test::DisplayTest {
protected:
    void SetUp() override
    {
        DisplayTest::SetUp();
        ASSERT_EQ(init_opengl(), 0);
        // The band the video thread draws into: the top 360 rows.
        set_view_port(0, HEIGHT - BAND_HEIGHT, WIDTH, BAND_HEIGHT);
    }
    void TearDown() override
    {
        deinit_opengl();
        DisplayTest::TearDown();
    }

    static std::optional<ScreenImage> show(int index, std::vector<char>& frame, int width, int height)
    {
        set_shader_index(index);
        return display_test::draw_and_show([&] { draw_frame(frame.data(), width, height); });
    }
};

void expect_black_below_band(const ScreenImage& screen)
{
    for (int y = BAND_HEIGHT; y < HEIGHT; y += 7) {
        for (int x = 0; x < WIDTH; x += 13)
            ASSERT_EQ(pixel_at(screen, x, y), BLACK) << x << "," << y;
    }
}

std::vector<char> rgba_card(int width, int height)
{
    std::vector<char> card(size_t(width) * height * 4);
    for (int y = 0; y < height; y++) {
        for (int x = 0; x < width; x++) {
            char* p = &card[(size_t(y) * width + x) * 4];
            p[0] = char((x + 3 * y) & 0xFF);
            p[1] = char((y * 5) & 0xFF);
            p[2] = char((x >> 3) & 0xFF);
            p[3] = char(0xFF);
        }
    }
    return card;
}

TEST_F(RendererTest, RgbaCardFillsTheBandPixelForPixelFirstRowOnTop)
{
    std::vector<char> card = rgba_card(WIDTH, BAND_HEIGHT);
    std::optional<ScreenImage> screen = show(SHADER_INDEX_RGBA, card, WIDTH, BAND_HEIGHT);
    ASSERT_TRUE(screen);
    for (int y = 0; y < BAND_HEIGHT; y++) {
        for (int x = 0; x < WIDTH; x++) {
            const char* p = &card[(size_t(y) * WIDTH + x) * 4];
            screen_pixel expected = {uint8_t(p[0]), uint8_t(p[1]), uint8_t(p[2]), 255};
            ASSERT_EQ(pixel_at(*screen, x, y), expected) << x << "," << y;
        }
    }
    expect_black_below_band(*screen);
}

// An NV12 frame: Y plane, then interleaved U, V pairs at half size in both directions.
struct nv12_frame {
    int width, height;
    std::vector<char> bytes;

    nv12_frame(int w, int h) : width(w), height(h), bytes(size_t(w) * h + size_t(w / 2) * (h / 2) * 2) {}
    char& y(int x, int row) { return bytes[size_t(row) * width + x]; }
    char& u(int x, int row) { return bytes[size_t(width) * height + (size_t(row) * (width / 2) + x) * 2]; }
    char& v(int x, int row) { return (&u(x, row))[1]; }
    void fill(uint8_t luma, uint8_t cb, uint8_t cr)
    {
        std::fill_n(bytes.begin(), size_t(width) * height, char(luma));
        for (int row = 0; row < height / 2; row++) {
            for (int x = 0; x < width / 2; x++) {
                u(x, row) = char(cb);
                v(x, row) = char(cr);
            }
        }
    }
};

// What the NV12 program's matrix gives for one sample, as bytes.
screen_pixel nv12_colour(uint8_t luma, uint8_t cb, uint8_t cr)
{
    double y = luma / 255.0, u = cb / 255.0 - 0.5, v = cr / 255.0 - 0.5;
    auto byte = [](double c) { return uint8_t(std::lround(std::clamp(c, 0.0, 1.0) * 255)); };
    return {byte(y + 1.402 * v), byte(y - 0.344 * u - 0.714 * v), byte(y + 1.772 * u), 255};
}

void expect_near(screen_pixel actual, screen_pixel expected, const char* where)
{
    EXPECT_NEAR(actual.r, expected.r, 2) << where;
    EXPECT_NEAR(actual.g, expected.g, 2) << where;
    EXPECT_NEAR(actual.b, expected.b, 2) << where;
}

TEST_F(RendererTest, Nv12ColourFollowsTheMatrix)
{
    const uint8_t samples[][3] = {{128, 64, 192}, {200, 160, 90}, {60, 128, 128}, {235, 16, 240}};
    for (const auto& s : samples) {
        nv12_frame frame(64, 32);
        frame.fill(s[0], s[1], s[2]);
        std::optional<ScreenImage> screen = show(SHADER_INDEX_NV12, frame.bytes, frame.width, frame.height);
        ASSERT_TRUE(screen);
        std::string where = std::to_string(s[0]) + "/" + std::to_string(s[1]) + "/" + std::to_string(s[2]);
        expect_near(pixel_at(*screen, WIDTH / 2, BAND_HEIGHT / 2), nv12_colour(s[0], s[1], s[2]), where.c_str());
    }
}

TEST_F(RendererTest, FullHdNv12FrameIsSqueezedIntoTheBand)
{
    // Three horizontal stripes of a third of the frame each.
    nv12_frame frame(WIDTH, HEIGHT);
    frame.fill(128, 128, 128);
    const uint8_t stripes[] = {220, 120, 40};
    for (int row = 0; row < HEIGHT; row++)
        std::fill_n(&frame.y(0, row), WIDTH, char(stripes[row * 3 / HEIGHT]));
    std::optional<ScreenImage> screen = show(SHADER_INDEX_NV12, frame.bytes, WIDTH, HEIGHT);
    ASSERT_TRUE(screen);
    for (int stripe = 0; stripe < 3; stripe++) {
        int y = stripe * BAND_HEIGHT / 3 + BAND_HEIGHT / 6;
        expect_near(pixel_at(*screen, WIDTH / 2, y), nv12_colour(stripes[stripe], 128, 128), "stripe");
    }
    expect_black_below_band(*screen);
}

// A frame placed so that its last byte is followed by an inaccessible page: reading one byte
// past it ends the test process.
class guarded_frame {
public:
    explicit guarded_frame(size_t size) : page_(sysconf(_SC_PAGESIZE))
    {
        span_ = (size + page_ - 1) / page_ * page_ + page_;
        map_ = static_cast<char*>(mmap(nullptr, span_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
        mprotect(map_ + span_ - page_, page_, PROT_NONE);
        data_ = map_ + span_ - page_ - size;
    }
    ~guarded_frame() { munmap(map_, span_); }
    char* data() { return data_; }

private:
    size_t page_, span_;
    char* map_;
    char* data_;
};

TEST_F(RendererTest, OddSizesUploadTruncatedChromaWithoutReadingPastTheFrame)
{
    // 1923x1081: rows of 1923 luma bytes and 961 chroma pairs (1922 bytes), neither a multiple
    // of 4. Left half bright and neutral, right half dark and blue.
    nv12_frame frame(1923, 1081);
    for (int row = 0; row < frame.height; row++) {
        for (int x = 0; x < frame.width; x++)
            frame.y(x, row) = char(x < frame.width / 2 ? 200 : 60);
    }
    for (int row = 0; row < frame.height / 2; row++) {
        for (int x = 0; x < frame.width / 2; x++) {
            frame.u(x, row) = char(x < frame.width / 4 ? 128 : 220);
            frame.v(x, row) = char(128);
        }
    }
    guarded_frame guarded(frame.bytes.size());
    std::copy(frame.bytes.begin(), frame.bytes.end(), guarded.data());
    set_shader_index(SHADER_INDEX_NV12);
    std::optional<ScreenImage> screen =
        display_test::draw_and_show([&] { draw_frame(guarded.data(), frame.width, frame.height); });
    ASSERT_TRUE(screen);
    // Rows read skewed would move the edge between the halves from row to row.
    for (int y : {0, BAND_HEIGHT / 2, BAND_HEIGHT - 1}) {
        expect_near(pixel_at(*screen, WIDTH / 2 - 40, y), nv12_colour(200, 128, 128), "left");
        expect_near(pixel_at(*screen, WIDTH / 2 + 40, y), nv12_colour(60, 220, 128), "right");
    }
}

TEST_F(RendererTest, IndexOutsideTheFormatsPresentsBlack)
{
    std::vector<char> card(size_t(WIDTH) * BAND_HEIGHT * 4, char(0xFF));
    ASSERT_TRUE(show(SHADER_INDEX_RGBA, card, WIDTH, BAND_HEIGHT));
    for (int index : {3, -1}) {
        std::optional<ScreenImage> screen = show(index, card, WIDTH, BAND_HEIGHT);
        ASSERT_TRUE(screen);
        EXPECT_EQ(pixel_at(*screen, WIDTH / 2, BAND_HEIGHT / 2), BLACK);
        EXPECT_EQ(pixel_at(*screen, 0, 0), BLACK);
    }
}

} // namespace
