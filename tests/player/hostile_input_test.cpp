// Hostile input through the real player: packages that try to leave the product directory or
// fill the disk, links planted on the disk, pictures made to exhaust memory, and malformed
// messages and media. Each case of the README's table of hostile inputs is shown here.
#include "core/board_root.h"
#include "core/common.h"
#include "hostlink/crc32.h"
#include "hostlink/report_socket.h"
#include "hostlink/wire.h"
#include "tests/player/player_fixture.h"
#include "tests/player/raw_link.h"

#include <archive.h>
#include <archive_entry.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <zlib.h>

#include <cstring>
#include <tuple>
#include <vector>

namespace fs = std::filesystem;
using namespace player_test;
using board_test::wait_until;

namespace {

constexpr const char* OUTSIDE = "/outside";
constexpr long KIB = 1024;
// The peak memory one picture may add to the player.
constexpr long PICTURE_MEMORY_BUDGET_KIB = 256 * KIB;
constexpr int GIANT_SIDE = 12000;

struct archive_item {
    std::string name;
    mode_t type = AE_IFREG;
    std::string contents; // the data of a file, the target of a link
};

// Sets the Unix mode a zip's central directory gives the entry `name`.
void set_zip_mode(std::string& zip, const std::string& name, mode_t mode)
{
    constexpr size_t NAME_LENGTH = 28, EXTERNAL_ATTRIBUTES = 38, NAME = 46;
    for (size_t at = zip.find("PK\x01\x02"); at != std::string::npos; at = zip.find("PK\x01\x02", at + 1)) {
        auto* entry = reinterpret_cast<uint8_t*>(zip.data() + at);
        size_t length = entry[NAME_LENGTH] | entry[NAME_LENGTH + 1] << 8;
        if (zip.compare(at + NAME, length, name) == 0)
            put_u32(entry + EXTERNAL_ATTRIBUTES, uint32_t(mode) << 16);
    }
}

// A zip archive of `items` written with libarchive, so that it can hold what the zip tool would
// never store: links, absolute names and ".."; devices and FIFOs are files whose mode is then
// changed in the archive, as a crafted zip would have them.
void make_archive(const std::string& board_file, const std::vector<archive_item>& items)
{
    const std::string file = board_test::BoardRootTest::path(board_file);
    archive* writer = archive_write_new();
    ASSERT_EQ(archive_write_set_format_zip(writer), ARCHIVE_OK);
    ASSERT_EQ(archive_write_open_filename(writer, file.c_str()), ARCHIVE_OK);
    for (const archive_item& item : items) {
        archive_entry* entry = archive_entry_new();
        archive_entry_set_pathname(entry, item.name.c_str());
        bool link = item.type == AE_IFLNK;
        archive_entry_set_filetype(entry, link ? AE_IFLNK : AE_IFREG);
        archive_entry_set_perm(entry, 0644);
        if (link)
            archive_entry_set_symlink(entry, item.contents.c_str());
        archive_entry_set_size(entry, link ? 0 : static_cast<la_int64_t>(item.contents.size()));
        ASSERT_EQ(archive_write_header(writer, entry), ARCHIVE_OK) << item.name << archive_error_string(writer);
        if (!link) {
            ASSERT_EQ(archive_write_data(writer, item.contents.data(), item.contents.size()),
                      static_cast<la_ssize_t>(item.contents.size()));
        }
        archive_entry_free(entry);
    }
    archive_write_close(writer);
    archive_write_free(writer);
    std::string zip = board_test::BoardRootTest::read_file(board_file);
    for (const archive_item& item : items) {
        if (item.type != AE_IFREG && item.type != AE_IFLNK)
            set_zip_mode(zip, item.name, item.type | 0644);
    }
    board_test::BoardRootTest::write_file(board_file, zip);
}

// A one-colour grey PNG of `side`×`side` pixels at one bit a pixel: a few kB on the disk that
// would decode to hundreds of MB.
std::string giant_png(int side)
{
    auto chunk = [](const char* type, const std::string& data) {
        std::string out(4, '\0');
        uint32_t length = static_cast<uint32_t>(data.size());
        for (int i = 0; i < 4; i++)
            out[i] = static_cast<char>(length >> (24 - 8 * i));
        std::string body = type + data;
        uint32_t crc = static_cast<uint32_t>(crc32(0, reinterpret_cast<const Bytef*>(body.data()), body.size()));
        out += body;
        for (int i = 0; i < 4; i++)
            out += static_cast<char>(crc >> (24 - 8 * i));
        return out;
    };
    std::string header(13, '\0');
    for (int i = 0; i < 4; i++)
        header[i] = header[4 + i] = static_cast<char>(side >> (24 - 8 * i));
    header[8] = 1; // bit depth; colour type 0 (grey), deflate, no filter method, no interlace
    size_t row = 1 + (side + 7) / 8;
    std::string raw(row * side, '\0');
    uLongf packed_size = compressBound(raw.size());
    std::string packed(packed_size, '\0');
    compress2(reinterpret_cast<Bytef*>(packed.data()), &packed_size, reinterpret_cast<const Bytef*>(raw.data()),
              raw.size(), Z_BEST_COMPRESSION);
    packed.resize(packed_size);
    return std::string("\x89PNG\r\n\x1a\n", 8) + chunk("IHDR", header) + chunk("IDAT", packed) + chunk("IEND", "");
}

// A small real JPEG whose frame header claims `side`×`side`: the decoder would allocate the
// whole claimed picture and fill what the data lacks.
std::string giant_jpeg(int side)
{
    const std::string file = "/sim/small.jpg";
    EXPECT_EQ(make_sample_picture(board_test::BoardRootTest::path(file), 64, 64, "", 0x808080), 0);
    std::string jpeg = board_test::BoardRootTest::read_file(file);
    size_t frame = jpeg.find("\xFF\xC0");
    EXPECT_NE(frame, std::string::npos);
    // Length (2), precision (1), then height and width.
    for (size_t at : {frame + 5, frame + 7}) {
        jpeg[at] = static_cast<char>(side >> 8);
        jpeg[at + 1] = static_cast<char>(side & 0xFF);
    }
    return jpeg;
}

class HostileInputTest : public PlayerProgramTest {
protected:
    void SetUp() override
    {
        PlayerProgramTest::SetUp();
        init_crc32_table();
        write_file(std::string(OUTSIDE) + "/keep", "keep");
    }

    // The files under the directory outside the disk, which nothing may ever add to or change.
    static std::vector<std::string> outside_files()
    {
        std::vector<std::string> names;
        for (const auto& entry : fs::recursive_directory_iterator(path(OUTSIDE)))
            names.push_back(entry.path().filename().string());
        return names;
    }

    static bool is_regular(const std::string& board)
    {
        struct stat st;
        return lstat(path(board).c_str(), &st) == 0 && S_ISREG(st.st_mode);
    }

    static int package(const std::string& board_file, const std::string& name)
    {
        return host("package " + shell_quote(path(board_file)) + " --name " + shell_quote(name));
    }

    static const std::vector<std::string> UNTOUCHED;
};

const std::vector<std::string> HostileInputTest::UNTOUCHED = {"keep"};

TEST_F(HostileInputTest, PackagesWriteOnlyFilesAndDirectoriesInsideTheProductDirectory)
{
    start_player();
    make_archive("/sim/links.zip", {{"vorlix/ok.txt", AE_IFREG, "ok"},
                                    {"portal", AE_IFLNK, path(OUTSIDE)},
                                    {"fifo", AE_IFIFO, ""},
                                    {"device", AE_IFCHR, ""},
                                    {"../escape.txt", AE_IFREG, "out"},
                                    {"vorlix/../../up.txt", AE_IFREG, "out"},
                                    {path(OUTSIDE) + "/absolute.txt", AE_IFREG, "out"},
                                    // Found by the unpack fuzz target: "." named the product
                                    // directory itself, which the unpack then tried to replace.
                                    {".", AE_IFREG, "dot"},
                                    {"./", AE_IFREG, "dot"}});
    ASSERT_EQ(package("/sim/links.zip", "links.zip"), 0) << read_file("/sim/host.log") << log();
    EXPECT_EQ(read_file(PRODUCT + "/vorlix/ok.txt"), "ok");
    EXPECT_FALSE(fs::exists(fs::symlink_status(path(PRODUCT + "/portal"))));
    // The zip reader itself takes a FIFO's mode for a plain file's.
    EXPECT_FALSE(fs::is_fifo(path(PRODUCT + "/fifo")));
    EXPECT_FALSE(fs::exists(path(PRODUCT + "/device")));
    EXPECT_FALSE(fs::exists(path(DISK + "/escape.txt")));
    EXPECT_FALSE(fs::exists(path("/media/up.txt")));
    EXPECT_FALSE(fs::exists(path(PRODUCT + "/links.zip"))) << "a good package is removed once unpacked";
    for (const char* line : {"skipped portal: link", "skipped device: neither file nor directory", "skipped ../escape.txt: name with ..",
                             "skipped vorlix/../../up.txt: name with ..", "/absolute.txt: absolute name", "skipped .: no name", "skipped ./: no name"})
        EXPECT_NE(log().find(line), std::string::npos) << line;

    // The link was never made, so a second package's entry below it is a file inside.
    make_archive("/sim/through.zip", {{"portal/x", AE_IFREG, "inside"}, {"vorlix/ok.txt", AE_IFREG, "new"}});
    ASSERT_EQ(package("/sim/through.zip", "through.zip"), 0) << log();
    EXPECT_TRUE(is_regular(PRODUCT + "/portal/x"));
    EXPECT_EQ(read_file(PRODUCT + "/vorlix/ok.txt"), "new") << "existing files are overwritten";
    EXPECT_TRUE(fs::exists(path(PRODUCT + "/vorlix/star fighter.png"))) << "other files are kept";

    // Links already on the disk, at an entry's own name or on its way, are replaced.
    fs::create_symlink(path(OUTSIDE) + "/keep", path(PRODUCT + "/vorlix/linked.txt"));
    fs::create_directory_symlink(path(OUTSIDE), path(PRODUCT + "/planted"));
    make_archive("/sim/replace.zip", {{"vorlix/linked.txt", AE_IFREG, "replaced"}});
    ASSERT_EQ(package("/sim/replace.zip", "replace.zip"), 0) << log();
    EXPECT_TRUE(is_regular(PRODUCT + "/vorlix/linked.txt"));
    EXPECT_EQ(read_file(PRODUCT + "/vorlix/linked.txt"), "replaced");
    make_archive("/sim/planted.zip", {{"planted/y.txt", AE_IFREG, "inside"}});
    EXPECT_EQ(package("/sim/planted.zip", "planted.zip"), 0) << log();
    EXPECT_TRUE(is_regular(PRODUCT + "/planted/y.txt"));

    EXPECT_EQ(outside_files(), UNTOUCHED);
    EXPECT_EQ(read_file(std::string(OUTSIDE) + "/keep"), "keep");
}

TEST_F(HostileInputTest, APackageThatDoesNotFitOrIsBrokenWritesNothingAndIsKept)
{
    start_player();
    // 64 MB of zeros in a zip of under 100 kB, onto a disk with 8 MB free.
    make_archive("/sim/bomb.zip", {{"vorlix/zeros.bin", AE_IFREG, std::string(64 << 20, '\0')}});
    ASSERT_LT(fs::file_size(path("/sim/bomb.zip")), 100u * KIB);
    set_disk_free(SIM_DEFAULT_DISK, 8 * KIB);
    size_t mark = log().size();
    EXPECT_EQ(package("/sim/bomb.zip", "bomb.zip"), 1);
    EXPECT_TRUE(wait_for_log("udisk size is not enough. unpacked size 67108864", STEP_TIMEOUT, mark)) << log();
    EXPECT_FALSE(fs::exists(path(PRODUCT + "/vorlix/zeros.bin")));
    EXPECT_TRUE(fs::exists(path(PRODUCT + "/bomb.zip")));

    // Sizes that lie: the archive claims 1000 bytes and holds 1 MB; the unpack stops at the
    // disk's free space.
    make_dir("/sim/lie");
    write_file("/sim/lie/big.bin", std::string(1 << 20, '\0'));
    ASSERT_EQ(system(("cd " + shell_quote(path("/sim/lie")) + " && zip -q ../lie.zip big.bin").c_str()), 0);
    std::string zip = read_file("/sim/lie.zip");
    for (auto [signature, offset] : {std::pair<const char*, size_t>{"PK\x03\x04", 22}, {"PK\x01\x02", 24}}) {
        size_t at = zip.find(signature);
        ASSERT_NE(at, std::string::npos);
        put_u32(reinterpret_cast<uint8_t*>(zip.data() + at + offset), 1000);
    }
    write_file("/sim/lie.zip", zip);
    set_disk_free(SIM_DEFAULT_DISK, 512);
    mark = log().size();
    EXPECT_EQ(package("/sim/lie.zip", "lie.zip"), 1);
    EXPECT_TRUE(wait_for_log("unpack_package: the disk is full", STEP_TIMEOUT, mark)) << log();
    EXPECT_LE(fs::file_size(path(PRODUCT + "/big.bin")), 512u * KIB);

    // A cut-short zip and one that is no zip at all.
    set_disk_free(SIM_DEFAULT_DISK, 4 * KIB * KIB);
    write_file("/sim/cut.zip", zip.substr(0, zip.size() / 2));
    EXPECT_EQ(package("/sim/cut.zip", "cut.zip"), 1);
    write_file("/sim/noise.zip", std::string(700, 'z'));
    EXPECT_EQ(package("/sim/noise.zip", "noise.zip"), 1);
    EXPECT_TRUE(fs::exists(path(PRODUCT + "/cut.zip")));
    EXPECT_EQ(host("state"), 0) << "the player still answers";
}

TEST_F(HostileInputTest, FilesForTheHostReplaceLinksAndStayInTheirDirectory)
{
    start_player();
    write_file("/sim/data.bin", "from the host");
    fs::create_symlink(path(OUTSIDE) + "/keep", path(DISK + "/data.bin"));
    ASSERT_EQ(host("send " + shell_quote(path("/sim/data.bin")) + " --name data.bin"), 0) << log();
    EXPECT_TRUE(is_regular(DISK + "/data.bin"));
    EXPECT_EQ(read_file(DISK + "/data.bin"), "from the host");

    // The show-image picture, too.
    fs::create_symlink(path(OUTSIDE) + "/keep", path("/tmp/shot.png"));
    ASSERT_EQ(host("image " + shell_quote(path(PRODUCT + "/thirdparty/arcade/pquest.png")) + " --name shot.png"), 0);
    EXPECT_TRUE(wait_until([] { return is_regular("/tmp/shot.png"); }, STEP_TIMEOUT));

    // Shell characters in a name are part of the name.
    const std::string shelly = "a;touch INJECTED $(touch INJECTED2)";
    ASSERT_EQ(host("send " + shell_quote(path("/sim/data.bin")) + " --name " + shell_quote(shelly)), 0);
    EXPECT_TRUE(is_regular(DISK + "/" + shelly));
    for (const char* injected : {"INJECTED", "INJECTED2"}) {
        EXPECT_FALSE(fs::exists(path(DISK + "/" + injected)));
        EXPECT_FALSE(fs::exists(fs::current_path() / injected));
    }

    // Names with "/" or ".." are refused at the prepare, which the host tool never sends.
    RawLink link(path("/sim/host.sock"));
    ASSERT_TRUE(link.valid());
    for (const char* name : {"../escape.bin", "..", "sub/file.bin"}) {
        link.send(make_file_prepare(CMD_FILE_PREPARE, 10, 1, name));
        EXPECT_EQ(link.reply(CMD_FILE_PREPARE), 1) << name;
    }
    EXPECT_FALSE(fs::exists(path("/media/escape.bin")));

    // A product directory that is a link is no target for packages.
    fs::rename(path(PRODUCT), path("/sim/product"));
    fs::create_directory_symlink(path(OUTSIDE), path(PRODUCT));
    make_archive("/sim/p.zip", {{"x.txt", AE_IFREG, "out"}});
    EXPECT_EQ(package("/sim/p.zip", "p.zip"), 1);

    EXPECT_EQ(outside_files(), UNTOUCHED);
    EXPECT_EQ(read_file(std::string(OUTSIDE) + "/keep"), "keep");
}

TEST_F(HostileInputTest, PicturesTooLargeToDecodeShowTheTitleCardWithinTheMemoryBudget)
{
    // The boot picture, a game's picture on the disk and a pushed picture, each 12000×12000.
    const std::string png = giant_png(GIANT_SIDE);
    ASSERT_LT(png.size(), SHOW_IMAGE_MAX_PAYLOAD - 100);
    write_file(BOOT_PICTURE, png);
    write_file(PRODUCT + "/vorlix/giant.jpg", giant_jpeg(GIANT_SIDE));
    write_file("/sim/giant.png", png);
    const std::string too_large = " is too large: 12000x12000";
    start_player();
    ASSERT_TRUE(wait_for_log(path(BOOT_PICTURE) + too_large, START_TIMEOUT)) << log();
    long before = peak_memory_kib();
    ASSERT_GT(before, 0);

    size_t mark = log().size();
    ASSERT_EQ(host("info --title Giant --title2 Giant"), 0);
    EXPECT_TRUE(wait_for_log(path(PRODUCT + "/vorlix/giant.jpg") + too_large, STEP_TIMEOUT, mark)) << log();
    EXPECT_TRUE(wait_for_log("title start,  Giant", STEP_TIMEOUT, mark)) << log();

    mark = log().size();
    ASSERT_EQ(host("image " + shell_quote(path("/sim/giant.png")) + " --title Huge --name giant.png"), 0);
    EXPECT_TRUE(wait_for_log(path("/tmp/giant.png") + too_large, STEP_TIMEOUT, mark)) << log();
    EXPECT_TRUE(wait_for_log("title start,  Huge", STEP_TIMEOUT, mark)) << log();

    // Pictures larger than the screen but within the limit, up to the limit itself, are shown.
    for (auto [name, width, height] : {std::tuple{"wide.png", 2560, 1440}, std::tuple{"uhd.jpg", 3840, 2160}}) {
        ASSERT_EQ(make_sample_picture(path(PRODUCT + "/vorlix/" + name), width, height, "BIG", 0x2040C0), 0);
        std::string title = fs::path(name).stem().string();
        mark = log().size();
        ASSERT_EQ(host("info --title " + title + " --title2 " + title), 0);
        EXPECT_TRUE(wait_for_log("pic width " + std::to_string(width) + ", pic height " + std::to_string(height),
                                 STEP_TIMEOUT, mark))
            << log();
        EXPECT_TRUE(wait_for_log("image start , " + path(PRODUCT + "/vorlix/" + name), STEP_TIMEOUT, mark));
    }

    long growth = peak_memory_kib() - before;
    printf("player peak memory growth over the pictures: %ld KiB\n", growth);
    EXPECT_LT(growth, PICTURE_MEMORY_BUDGET_KIB);
    EXPECT_EQ(stop_player(), 0) << log();
}

TEST_F(HostileInputTest, MalformedMessagesAndMediaLeaveThePlayerRunning)
{
    // Cut-short media on the disk for one game: a picture and a video.
    std::string picture = read_file(PRODUCT + "/vorlix/star fighter.png");
    std::string clip = read_file(PRODUCT + "/vorlix/star fighter.mp4");
    write_file(PRODUCT + "/vorlix/broken.png", picture.substr(0, picture.size() / 3));
    write_file(PRODUCT + "/vorlix/broken.mp4", clip.substr(0, clip.size() / 3));
    start_player();
    size_t mark = log().size();
    ASSERT_EQ(host("info --title Broken --title2 Broken"), 0);
    EXPECT_TRUE(wait_for_log("title start,  Broken", STEP_TIMEOUT, mark)) << log();
    ASSERT_TRUE(wait_for_log("no playable streams", STEP_TIMEOUT, mark)) << log();
    // The cycle goes on past the video that cannot play.
    EXPECT_TRUE(wait_for_log("title start,  Broken", STEP_TIMEOUT, log().find("no playable streams", mark))) << log();

    // A pushed JPEG that is cut short, and a PNG cut inside a chunk its decoder skips (found by
    // the picture fuzz target: the decoder read that chunk for ever).
    std::string jpeg = giant_jpeg(64);
    write_file("/sim/cut.jpg", jpeg.substr(0, jpeg.size() / 2));
    mark = log().size();
    ASSERT_EQ(host("image " + shell_quote(path("/sim/cut.jpg")) + " --title CutJpeg"), 0);
    EXPECT_TRUE(wait_for_log("title start,  CutJpeg", STEP_TIMEOUT, mark)) << log();
    std::string ihdr = std::string("IHDR\0\0\0\x08\0\0\0\x08\x01\x03\0\0\0", 17);
    std::string png = std::string("\x89PNG\r\n\x1a\n\0\0\0\x0d", 12) + ihdr;
    uint32_t ihdr_crc = static_cast<uint32_t>(crc32(0, reinterpret_cast<const Bytef*>(ihdr.data()), ihdr.size()));
    for (int shift = 24; shift >= 0; shift -= 8)
        png += static_cast<char>(ihdr_crc >> shift);
    write_file("/sim/cut.png", png + std::string("\0\0\x80\x04gAMA\0\0\xb1\x8f", 12));
    mark = log().size();
    ASSERT_EQ(host("image " + shell_quote(path("/sim/cut.png")) + " --title CutPng"), 0);
    EXPECT_TRUE(wait_for_log("title start,  CutPng", STEP_TIMEOUT, mark)) << log();

    // Over-long fields are cut to their slots.
    mark = log().size();
    ASSERT_EQ(host("info --title " + std::string(300, 'T')), 0);
    EXPECT_TRUE(wait_for_log("banner_info.title=" + std::string(125, 'T') + "\n", STEP_TIMEOUT, mark)) << log();

    RawLink link(path("/sim/host.sock"));
    ASSERT_TRUE(link.valid());
    // A banner-info text that is not JSON.
    const std::string text = "not json {";
    link.send(make_message_prepare(text.size(), 1, crc32_calc(text.data(), text.size())));
    EXPECT_EQ(link.reply(CMD_MESSAGE_PREPARE), 0);
    mark = log().size();
    link.send_payload(CMD_MESSAGE_DATA, text);
    EXPECT_EQ(link.reply(CMD_MESSAGE_DATA), 0);
    EXPECT_TRUE(wait_for_log("Error before: [", STEP_TIMEOUT, mark)) << log();

    // Show-image sizes that wrap around 32 bits to a small total.
    std::string payload(16, '\0');
    put_u32(reinterpret_cast<uint8_t*>(payload.data()), 0xFFFFFFF8u);
    put_u32(reinterpret_cast<uint8_t*>(payload.data() + 4), 8);
    link.send(make_file_prepare(CMD_IMAGE_PREPARE, payload.size(), 1, "wrap.png"));
    EXPECT_EQ(link.reply(CMD_IMAGE_PREPARE), 0);
    link.send_payload(CMD_IMAGE_DATA, payload);
    link.send(make_verify(CMD_IMAGE_VERIFY, crc32_calc(payload.data(), payload.size())));
    EXPECT_EQ(link.reply(CMD_IMAGE_VERIFY), 1);

    // The disk taken away in the middle of a transfer, then no disk at all.
    std::string data(5000, 'd');
    link.send(make_file_prepare(CMD_FILE_PREPARE, data.size(), packet_count(data.size()), "gone.bin"));
    EXPECT_EQ(link.reply(CMD_FILE_PREPARE), 0);
    link.send_payload(CMD_FILE_DATA, data.substr(0, 2800));
    EXPECT_TRUE(wait_until([] { return fs::exists(path(DISK + "/.gone.bin.tavimoro-part")); }, STEP_TIMEOUT));
    remove(DISK);
    link.send_payload(CMD_FILE_DATA, data.substr(2800), 50);
    link.send(make_verify(CMD_FILE_VERIFY, crc32_calc(data.data(), data.size())));
    EXPECT_EQ(link.reply(CMD_FILE_VERIFY), 1);
    link.send(make_file_prepare(CMD_FILE_PREPARE, data.size(), packet_count(data.size()), "nodisk.bin"));
    EXPECT_EQ(link.reply(CMD_FILE_PREPARE), 1);

    mark = log().size();
    ASSERT_EQ(host("info --title Diskless --title2 'Star Fighter'"), 0);
    EXPECT_TRUE(wait_for_log("title start,  Diskless", STEP_TIMEOUT, mark)) << log();
    EXPECT_EQ(stop_player(), 0) << log();
}

} // namespace
