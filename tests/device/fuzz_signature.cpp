// libFuzzer target: arbitrary text as a minisign key file and as a signature file. What parses
// must parse again, to the same fields, from the text minisign would write for it.
#include "device/firmware_signature.h"

#include <cstdlib>
#include <cstring>
#include <string>

namespace {

std::string base64(const unsigned char* bytes, size_t size)
{
    std::string text(sodium_base64_ENCODED_LEN(size, sodium_base64_VARIANT_ORIGINAL), '\0');
    sodium_bin2base64(text.data(), text.size(), bytes, size, sodium_base64_VARIANT_ORIGINAL);
    text.resize(strlen(text.c_str()));
    return text;
}

void check_signature(const firmware_signature& parsed)
{
    unsigned char raw[2 + sizeof parsed.key_id + sizeof parsed.signature] = {'E', 'D'};
    memcpy(raw + 2, parsed.key_id, sizeof parsed.key_id);
    memcpy(raw + 2 + sizeof parsed.key_id, parsed.signature, sizeof parsed.signature);
    std::string text = "untrusted comment: again\n" + base64(raw, sizeof raw) + "\ntrusted comment: " +
                       parsed.trusted_comment + "\n" +
                       base64(parsed.global_signature, sizeof parsed.global_signature) + "\n";
    firmware_signature again;
    const char* reason = nullptr;
    if (parse_firmware_signature(text, again, reason) != 0 || again.trusted_comment != parsed.trusted_comment ||
        memcmp(again.key_id, parsed.key_id, sizeof again.key_id) != 0 ||
        memcmp(again.signature, parsed.signature, sizeof again.signature) != 0 ||
        memcmp(again.global_signature, parsed.global_signature, sizeof again.global_signature) != 0)
        abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::string_view text(reinterpret_cast<const char*>(data), size);
    const char* reason = nullptr;
    firmware_key key;
    if (parse_firmware_key(text, key, reason) != 0 && !reason)
        abort();
    firmware_signature signature;
    reason = nullptr;
    if (parse_firmware_signature(text, signature, reason) == 0)
        check_signature(signature);
    else if (!reason)
        abort();
    return 0;
}
