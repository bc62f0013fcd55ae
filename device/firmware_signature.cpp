// Signed firmware: minisign's key and signature files, and the check of an update image against
// them, hashed block by block (BLAKE2b-512, minisign's prehashed "ED" signatures) with libsodium.
#include "device/firmware_signature.h"

#include "core/board_root.h"
#include "core/unique_fd.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <vector>

namespace {

constexpr std::string_view UNTRUSTED_PREFIX = "untrusted comment: ";
constexpr std::string_view TRUSTED_PREFIX = "trusted comment: ";
// minisign's own bounds on its two comments.
constexpr size_t UNTRUSTED_COMMENT_MAX = 1024;
constexpr size_t TRUSTED_COMMENT_MAX = 8192;
// Above what minisign ever writes; no more than this, and one byte, is read of either file.
constexpr size_t KEY_FILE_MAX = 2048;
constexpr size_t SIGNATURE_FILE_MAX = 16384;
constexpr size_t IMAGE_BLOCK_SIZE = 64 * 1024;
constexpr size_t ALGORITHM_SIZE = 2;
constexpr char KEY_ALGORITHM[] = "Ed";
constexpr char PREHASHED_ALGORITHM[] = "ED";
constexpr char LEGACY_ALGORITHM[] = "Ed";
constexpr size_t IMAGE_HASH_SIZE = crypto_generichash_BYTES_MAX;

int refuse(const char*& reason, const char* why)
{
    reason = why;
    return -1;
}

// The next line of `text` without its line end (LF or CRLF); false when nothing is left.
bool take_line(std::string_view& text, std::string_view& line)
{
    if (text.empty())
        return false;
    size_t end = text.find('\n');
    line = text.substr(0, end);
    text = end == std::string_view::npos ? std::string_view{} : text.substr(end + 1);
    if (line.ends_with('\r'))
        line.remove_suffix(1);
    return true;
}

bool comment_line(std::string_view& text, std::string_view prefix, size_t max, std::string_view& comment)
{
    std::string_view line;
    if (!take_line(text, line) || !line.starts_with(prefix) || line.size() - prefix.size() > max)
        return false;
    comment = line.substr(prefix.size());
    return true;
}

// As minisign asks of a trusted comment: no control characters but tabs.
bool printable(std::string_view comment)
{
    for (unsigned char c : comment)
        if ((c < 0x20 && c != '\t') || c == 0x7f)
            return false;
    return true;
}

// A base64 line that decodes to exactly `size` bytes.
bool base64_line(std::string_view& text, unsigned char* out, size_t size)
{
    std::string_view line;
    size_t length = 0;
    const char* end = nullptr;
    return take_line(text, line) &&
           sodium_base642bin(out, size, line.data(), line.size(), nullptr, &length, &end,
                             sodium_base64_VARIANT_ORIGINAL) == 0 &&
           end == line.data() + line.size() && length == size;
}

// Up to `limit` + 1 bytes of the file into `text`: the count read, or -1 (errno set).
long read_bounded(const std::string& path, size_t limit, std::string& text)
{
    UniqueFD fd(open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd.valid())
        return -1;
    text.assign(limit + 1, '\0');
    size_t count = 0;
    while (count < text.size()) {
        ssize_t length = read(fd.get(), text.data() + count, text.size() - count);
        if (length < 0 && errno == EINTR)
            continue;
        if (length < 0)
            return -1;
        if (length == 0)
            break;
        count += static_cast<size_t>(length);
    }
    text.resize(count);
    return static_cast<long>(count);
}

int hash_image(const char* image, unsigned char* hash)
{
    UniqueFD fd(open(image, O_RDONLY | O_CLOEXEC));
    if (!fd.valid())
        return -1;
    crypto_generichash_state state;
    crypto_generichash_init(&state, nullptr, 0, IMAGE_HASH_SIZE);
    std::vector<unsigned char> block(IMAGE_BLOCK_SIZE);
    for (;;) {
        ssize_t length = read(fd.get(), block.data(), block.size());
        if (length < 0 && errno == EINTR)
            continue;
        if (length < 0)
            return -1;
        if (length == 0)
            break;
        crypto_generichash_update(&state, block.data(), static_cast<size_t>(length));
    }
    return crypto_generichash_final(&state, hash, IMAGE_HASH_SIZE);
}

uint64_t key_number(const unsigned char* id)
{
    uint64_t number = 0;
    for (size_t i = FIRMWARE_KEY_ID_SIZE; i-- > 0;)
        number = number << 8 | id[i];
    return number;
}

// The cheap checks come first: a bad signature file or another key is refused before the image
// is read.
int check_with_key(const std::string& key_text, const char* image, const char*& reason)
{
    firmware_key key;
    if (key_text.size() > KEY_FILE_MAX)
        return refuse(reason, "the board's key file is too large to be a minisign public key");
    if (parse_firmware_key(key_text, key, reason) != 0)
        return -1;
    std::string signature_text;
    long count = read_bounded(std::string(image) + FIRMWARE_SIGNATURE_SUFFIX, SIGNATURE_FILE_MAX, signature_text);
    if (count < 0)
        return refuse(reason, errno == ENOENT ? "no signature file beside it" : "its signature file cannot be read");
    if (static_cast<size_t>(count) > SIGNATURE_FILE_MAX)
        return refuse(reason, "its signature file is too large to be a minisign signature");
    firmware_signature signature;
    if (parse_firmware_signature(signature_text, signature, reason) != 0)
        return -1;
    if (memcmp(signature.key_id, key.id, sizeof key.id) != 0)
        return refuse(reason, "it is signed with another key than the board's");
    unsigned char hash[IMAGE_HASH_SIZE];
    if (hash_image(image, hash) != 0)
        return refuse(reason, "the image cannot be read");
    if (crypto_sign_verify_detached(signature.signature, hash, sizeof hash, key.public_key) != 0)
        return refuse(reason, "the signature does not match the image (another image's, or the image was changed or cut)");
    std::string signed_comment(reinterpret_cast<const char*>(signature.signature), sizeof signature.signature);
    signed_comment += signature.trusted_comment;
    if (crypto_sign_verify_detached(signature.global_signature, reinterpret_cast<const unsigned char*>(signed_comment.data()),
                                    signed_comment.size(), key.public_key) != 0)
        return refuse(reason, "the trusted comment's signature does not match");
    printf("check_firmware_image: %s is signed with the board's key %016" PRIX64 "\n", image, key_number(key.id));
    return 0;
}

} // namespace

int parse_firmware_key(std::string_view text, firmware_key& key, const char*& reason)
{
    std::string_view comment;
    unsigned char raw[ALGORITHM_SIZE + sizeof key.id + sizeof key.public_key];
    if (!comment_line(text, UNTRUSTED_PREFIX, UNTRUSTED_COMMENT_MAX, comment))
        return refuse(reason, "the board's key file does not begin with minisign's comment line");
    if (!base64_line(text, raw, sizeof raw))
        return refuse(reason, "the board's key file holds no minisign public key");
    if (memcmp(raw, KEY_ALGORITHM, ALGORITHM_SIZE) != 0)
        return refuse(reason, "the board's key is not an Ed25519 key");
    if (!text.empty())
        return refuse(reason, "the board's key file holds more than the key");
    memcpy(key.id, raw + ALGORITHM_SIZE, sizeof key.id);
    memcpy(key.public_key, raw + ALGORITHM_SIZE + sizeof key.id, sizeof key.public_key);
    return 0;
}

int parse_firmware_signature(std::string_view text, firmware_signature& signature, const char*& reason)
{
    std::string_view comment;
    unsigned char raw[ALGORITHM_SIZE + sizeof signature.key_id + sizeof signature.signature];
    if (!comment_line(text, UNTRUSTED_PREFIX, UNTRUSTED_COMMENT_MAX, comment))
        return refuse(reason, "its signature file does not begin with minisign's comment line");
    if (!base64_line(text, raw, sizeof raw))
        return refuse(reason, "its signature file holds no minisign signature");
    if (memcmp(raw, LEGACY_ALGORITHM, ALGORITHM_SIZE) == 0)
        return refuse(reason, "its signature is a legacy one over the whole image (minisign -l); sign without -l");
    if (memcmp(raw, PREHASHED_ALGORITHM, ALGORITHM_SIZE) != 0)
        return refuse(reason, "its signature is of an unknown kind");
    if (!comment_line(text, TRUSTED_PREFIX, TRUSTED_COMMENT_MAX, comment))
        return refuse(reason, "its signature file has no trusted comment");
    if (!printable(comment))
        return refuse(reason, "its trusted comment holds control characters");
    if (!base64_line(text, signature.global_signature, sizeof signature.global_signature))
        return refuse(reason, "its signature file has no signature of its trusted comment");
    if (!text.empty())
        return refuse(reason, "its signature file holds more than one signature");
    memcpy(signature.key_id, raw + ALGORITHM_SIZE, sizeof signature.key_id);
    memcpy(signature.signature, raw + ALGORITHM_SIZE + sizeof signature.key_id, sizeof signature.signature);
    signature.trusted_comment = comment;
    return 0;
}

int check_firmware_image(const char* image)
{
    std::string key_text;
    long count = read_bounded(board_path(FIRMWARE_KEY_PATH), KEY_FILE_MAX, key_text);
    // No key: the board takes images unchecked. A key that is there but cannot be read refuses.
    if (count < 0 && errno == ENOENT)
        return 0;
    const char* reason = "the board's key file cannot be read";
    if (count >= 0 && sodium_init() < 0)
        reason = "the signature library cannot start";
    else if (count >= 0 && check_with_key(key_text, image, reason) == 0)
        return 0;
    printf("%s: %s refused: %s\n", __func__, image, reason);
    return -1;
}
