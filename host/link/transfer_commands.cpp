// tavimoro-host's transfers: files, firmware with its signature, packages, the update request and
// pictures fitted to the band before they travel.
#include "host/link/host_commands.h"

#include "hostlink/crc32.h"
#include "host/common/picture_fit.h"
#include "host/link/host_system.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

namespace {

constexpr int UNPACK_TIMEOUT_S = 600;  // unpacking a large package takes the board a while
constexpr size_t SHOW_IMAGE_TEXT_MAX = 511;
constexpr const char* FIRMWARE_NAME = "vorlix_update_online.img";
// minisign's suffix for a detached signature, which the board looks for beside an image.
constexpr const char* FIRMWARE_SIGNATURE_SUFFIX = ".minisig";
constexpr const char* SHOW_IMAGE_NAME = "show_image.png";
constexpr const char* SHOW_IMAGE_JPEG_NAME = "show_image.jpg";
// Far above any marquee picture, and what fitting may decode: the board's largest picture as a PNG
// stored without compression.
constexpr size_t PICTURE_FILE_MAX = 64 * 1024 * 1024;

struct FileCloser {
    void operator()(FILE* file) const { fclose(file); }
};
using File = std::unique_ptr<FILE, FileCloser>;

bool valid_name(const std::string& name, size_t field)
{
    return !name.empty() && name.size() < field && name.find('/') == std::string::npos && name != "." && name != "..";
}

std::string base_name(const std::string& path)
{
    size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string target_name(const options& opt, const std::string& fallback)
{
    return opt.name.empty() ? fallback : opt.name;
}

int check_name(const std::string& name)
{
    if (valid_name(name, PREPARE_NAME_FIELD))
        return 0;
    return fail(EXIT_USAGE, "'%s' cannot be a file name on the board (at most 51 characters, no '/')", name.c_str());
}

// One readable file among the arguments.
int check_input_file(const options& opt, const char* what)
{
    if (opt.args.size() != 1)
        return fail(EXIT_USAGE, "give one %s (see --help)", what);
    const char* file = opt.args[0].c_str();
    struct stat st;
    if (stat(file, &st) != 0 || access(file, R_OK) != 0)
        return fail(EXIT_USAGE, "cannot read %s: %s", file, strerror(errno));
    return S_ISREG(st.st_mode) ? 0 : fail(EXIT_USAGE, "cannot read %s: not a file", file);
}

int command_file(const options& opt, const board_link& board, const transfer_family& kind, const char* default_name)
{
    std::string name = target_name(opt, default_name ? default_name : base_name(opt.args[0]));
    int result = transfer_file(board, kind, opt.args[0], name);
    if (result != 0)
        return result;
    if (kind.verify == CMD_FW_VERIFY) {
        say("firmware stored; the board is starting the update\n");
        return 0;
    }
    if (kind.verify == CMD_FILE_VERIFY) {
        say("file stored on the board's USB disk\n");
        return 0;
    }
    say("package stored; the board is unpacking it\n");
    int unpacked = await_reply(board, CMD_PACKAGE_UNPACKED, UNPACK_TIMEOUT_S);
    if (unpacked < 0)
        return fail(EXIT_LINK, "no answer from the board while it unpacked the package");
    return verdict(unpacked, "package unpacked", "the board could not unpack the package (it kept the archive)");
}

} // namespace

int check_send(const options& opt)
{
    int bad = check_input_file(opt, "file to send");
    return bad ? bad : check_name(target_name(opt, base_name(opt.args[0])));
}

int check_firmware(const options& opt)
{
    int bad = check_input_file(opt, "firmware image");
    // The name must leave room for the signature's suffix.
    return bad ? bad : check_name(target_name(opt, FIRMWARE_NAME) + FIRMWARE_SIGNATURE_SUFFIX);
}

int command_send(const options& opt, const board_link* board)
{
    return command_file(opt, *board, FILE_FAMILY, nullptr);
}

// A signature beside the image goes first, under the image's name on the board with the same
// suffix, so that the board finds it when it checks the image.
int command_firmware(const options& opt, const board_link* board)
{
    std::string signature = opt.args[0] + FIRMWARE_SIGNATURE_SUFFIX;
    if (access(signature.c_str(), F_OK) != 0) {
        say("no signature %s beside the image: a board that holds a key refuses it\n", signature.c_str());
    } else {
        say("sending the signature %s\n", signature.c_str());
        int sent = transfer_file(*board, FILE_FAMILY, signature, target_name(opt, FIRMWARE_NAME) + FIRMWARE_SIGNATURE_SUFFIX);
        if (sent != 0)
            return sent;
    }
    return command_file(opt, *board, FIRMWARE_FAMILY, FIRMWARE_NAME);
}

int command_package(const options& opt, const board_link* board)
{
    return command_file(opt, *board, PACKAGE_FAMILY, nullptr);
}

int check_update(const options& opt)
{
    std::string name = opt.args.empty() ? FIRMWARE_NAME : opt.args[0];
    if (opt.args.size() > 1 || !valid_name(name, FIRMWARE_NAME_FIELD))
        return fail(EXIT_USAGE, "give one image name of at most 59 characters, without '/'");
    return 0;
}

int command_update(const options& opt, const board_link* board)
{
    std::string name = opt.args.empty() ? FIRMWARE_NAME : opt.args[0];
    // A board that holds a key reads the whole image for its signature before it answers: the size
    // is not known here, so the wait allows for the largest image on a slow disk.
    constexpr int IMAGE_CHECK_S = 60;
    int status = request(*board, make_firmware_update(name), CMD_FIRMWARE_UPDATE, board->timeout_s + IMAGE_CHECK_S,
                         "update request");
    return verdict(status, "the board is starting the firmware update",
                   "the board has no such image in the directory of the last transfer (it still searches its USB "
                   "disks for vorlix_update_online.img), or it refused the image's signature");
}
namespace {

// The picture file at `path`, at most `limit` bytes and one more when it is larger; false when
// it cannot be read.
bool read_picture_file(const std::string& path, size_t limit, std::vector<uint8_t>& bytes)
{
    File file(fopen(path.c_str(), "rb"));
    if (!file)
        return false;
    uint8_t block[4096];
    for (size_t length; bytes.size() <= limit && (length = fread(block, 1, sizeof block, file.get())) > 0;)
        bytes.insert(bytes.end(), block, block + length);
    return !ferror(file.get());
}

// The picture as it will travel: fitted by the picture module unless `as_is`. A picture the module
// cannot take (or a host without the module) travels as it is, and the board judges it.
fitted_picture prepare_picture(std::vector<uint8_t> file, bool as_is)
{
    fitted_picture picture{std::move(file), false, "as it is", 0, 0};
    if (as_is)
        return picture;
    std::string why;
    fit_picture_function fit = load_picture_fitter(why);
    if (!fit) {
        fprintf(stderr, "tavimoro-host: cannot fit pictures here (%s): sending the file as it is\n", why.c_str());
        return picture;
    }
    fitted_picture fitted;
    if (fit(picture.bytes, fitted) != 0) {
        fprintf(stderr, "tavimoro-host: not a PNG or JPEG the board can show: sending the file as it is\n");
        return picture;
    }
    say("the picture (%dx%d, %zu bytes) travels %s: %zu bytes\n", fitted.width, fitted.height,
           picture.bytes.size(), fitted.made, fitted.bytes.size());
    return fitted;
}

} // namespace

int check_image(const options& opt)
{
    int bad = check_input_file(opt, "picture to show");
    if (bad == 0 && !opt.name.empty())
        bad = check_name(opt.name);
    return bad;
}

int command_image(const options& opt, const board_link* board)
{
    std::vector<uint8_t> file;
    if (!read_picture_file(opt.args[0], opt.as_is ? SHOW_IMAGE_MAX_PAYLOAD : PICTURE_FILE_MAX, file))
        return fail(EXIT_USAGE, "cannot read %s", opt.args[0].c_str());
    if (file.size() > PICTURE_FILE_MAX)
        return fail(EXIT_USAGE, "%s is too large for a picture", opt.args[0].c_str());
    fitted_picture picture = prepare_picture(std::move(file), opt.as_is);
    std::string text = json_text(opt, false);
    if (text.size() > SHOW_IMAGE_TEXT_MAX)
        return fail(EXIT_USAGE, "the picture's text is too long (at most 511 bytes of JSON)");
    std::vector<uint8_t> payload(SHOW_IMAGE_HEADER_SIZE + picture.bytes.size() + text.size());
    put_u32(payload.data(), static_cast<uint32_t>(picture.bytes.size()));
    put_u32(payload.data() + 4, static_cast<uint32_t>(text.size()));
    std::copy(text.begin(), text.end(),
              std::copy(picture.bytes.begin(), picture.bytes.end(), payload.begin() + SHOW_IMAGE_HEADER_SIZE));
    if (payload.size() > SHOW_IMAGE_MAX_PAYLOAD)
        return fail(EXIT_USAGE, "the picture and its text exceed 512000 bytes");
    std::string name = target_name(opt, picture.jpeg ? SHOW_IMAGE_JPEG_NAME : SHOW_IMAGE_NAME);
    uint32_t size = static_cast<uint32_t>(payload.size());
    int status = request(*board, make_file_prepare(CMD_IMAGE_PREPARE, size, packet_count(size), name),
                         CMD_IMAGE_PREPARE, board->timeout_s, "picture request");
    if (status != 0)
        return status < 0 ? EXIT_LINK : fail(EXIT_REFUSED, "the board refused the picture's name");
    size_t at = 0;
    auto next = [&](uint8_t* chunk, size_t length) {
        memcpy(chunk, payload.data() + at, length);
        at += length;
        return length;
    };
    if (!send_data_reports(*board, CMD_IMAGE_DATA, size, next, "picture"))
        return EXIT_LINK;
    status = request(*board, make_verify(CMD_IMAGE_VERIFY, crc32_calc(payload.data(), size)), CMD_IMAGE_VERIFY,
                     board->timeout_s, "picture");
    return verdict(status, "the board shows the picture", "the picture arrived damaged (CRC mismatch)");
}