// Signed firmware: an update image goes to recovery only with a good minisign signature beside it,
// once the integrator's key is in the board's read-only area.
#pragma once

#include <sodium.h>

#include <string>
#include <string_view>

// The integrator's public key (a minisign .pub file); without it images are not checked.
inline constexpr const char* FIRMWARE_KEY_PATH = "/rom/vorlix/keys/firmware.pub";
// The signature lies beside the image, under the image's name with this suffix.
inline constexpr const char* FIRMWARE_SIGNATURE_SUFFIX = ".minisig";

inline constexpr size_t FIRMWARE_KEY_ID_SIZE = 8;

struct firmware_key {
    unsigned char id[FIRMWARE_KEY_ID_SIZE];
    unsigned char public_key[crypto_sign_PUBLICKEYBYTES];
};

struct firmware_signature {
    unsigned char key_id[FIRMWARE_KEY_ID_SIZE];
    // Over the image's BLAKE2b-512 hash.
    unsigned char signature[crypto_sign_BYTES];
    std::string trusted_comment;
    // Over the signature followed by the trusted comment.
    unsigned char global_signature[crypto_sign_BYTES];
};

// Parse the text of a public key file or a signature file: 0, or -1 with `reason` set to a
// static text that says what is wrong.
int parse_firmware_key(std::string_view text, firmware_key& key, const char*& reason);
int parse_firmware_signature(std::string_view text, firmware_signature& signature, const char*& reason);

// 0 when `image` may be handed to recovery: the board holds no key, or the signature beside the
// image is good for it; -1 otherwise, with a log line that says why. Reads the image once, in
// blocks, and at most a few KiB of the key and signature files.
int check_firmware_image(const char* image);
