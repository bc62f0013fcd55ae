// Fetching with cpp-httplib's client: plain http:// on the operator's network (the file's
// integrity is the SHA-256 the command gives, and a firmware's own signature), streamed to disk so
// that a large file never sits in memory, and cut off at a bound, declared or not.
#include "host/link/service_fetch.h"

#include "host/link/service_options.h"

#include <httplib.h>
#include <sodium.h>
#include <unistd.h>

#include <strings.h>

#include <cctype>
#include <cstdlib>

namespace {

constexpr time_t CONNECT_TIMEOUT_S = 5, READ_TIMEOUT_S = 30;

struct http_url {
    std::string host;
    int port = 80;
    std::string target = "/";
};

int parse_http_url(const std::string& url, http_url& parts, std::string& why)
{
    const std::string scheme = "http://";
    if (url.compare(0, scheme.size(), scheme) != 0) {
        why = "only an http:// address is fetched: " + url;
        return -1;
    }
    for (unsigned char c : url)
        if (c <= 0x20 || c >= 0x7f) {
            why = "the address holds a space or a control character";
            return -1;
        }
    std::string authority = url.substr(scheme.size());
    size_t slash = authority.find('/');
    if (slash != std::string::npos) {
        parts.target = authority.substr(slash);
        authority.resize(slash);
    }
    if (!parse_address(authority, parts.host, parts.port) || parts.host.find('@') != std::string::npos) {
        why = "no HOST[:PORT] in the address (and no user name is taken)";
        return -1;
    }
    return 0;
}

bool is_sha256(const std::string& text)
{
    if (text.size() != crypto_hash_sha256_BYTES * 2)
        return false;
    for (unsigned char c : text)
        if (!isxdigit(c))
            return false;
    return true;
}

// Closes the descriptor, and removes the file unless it is kept.
struct temp_file {
    int fd = -1;
    std::string path;
    bool keep = false;
    ~temp_file()
    {
        if (fd >= 0)
            close(fd);
        if (!keep && !path.empty())
            unlink(path.c_str());
    }
};

bool write_all(int fd, const char* data, size_t size)
{
    while (size > 0) {
        ssize_t written = write(fd, data, size);
        if (written <= 0)
            return false;
        data += written;
        size -= static_cast<size_t>(written);
    }
    return true;
}

} // namespace

void fetch_stop::stop()
{
    std::lock_guard<std::mutex> lock(mutex_);
    stopped_ = true;
    if (client_)
        client_->stop();
}

int fetch_to_temp_file(const std::string& url, uint64_t max_bytes, const std::string& sha256, fetch_stop& stop,
                       std::string& path, std::string& why)
{
    http_url parts;
    if (parse_http_url(url, parts, why) != 0)
        return -1;
    if (!sha256.empty() && !is_sha256(sha256)) {
        why = "sha256 is not 64 hexadecimal digits";
        return -1;
    }
    temp_file file;
    file.fd = make_service_temp_file(file.path);
    if (file.fd < 0) {
        file.path.clear();
        why = "no temporary file for the download";
        return -1;
    }
    crypto_hash_sha256_state hash;
    crypto_hash_sha256_init(&hash);
    uint64_t received = 0;
    bool too_large = false, write_failed = false;

    httplib::Client client(parts.host, parts.port);
    client.set_connection_timeout(CONNECT_TIMEOUT_S, 0);
    client.set_read_timeout(READ_TIMEOUT_S, 0);
    client.set_follow_location(false);
    auto declared_size = [&](const httplib::Response& response) {
        if (response.has_header("Content-Length") &&
            strtoull(response.get_header_value("Content-Length").c_str(), nullptr, 10) > max_bytes)
            too_large = true;
        return !too_large;
    };
    auto body = [&](const char* data, size_t size) {
        received += size;
        if (received > max_bytes) {
            too_large = true;
            return false;
        }
        crypto_hash_sha256_update(&hash, reinterpret_cast<const unsigned char*>(data), size);
        write_failed = !write_all(file.fd, data, size);
        return !write_failed;
    };
    {
        std::lock_guard<std::mutex> lock(stop.mutex_);
        if (stop.stopped_) {
            why = "the service stops";
            return -1;
        }
        stop.client_ = &client;
    }
    httplib::Result result = client.Get(parts.target, httplib::Headers(), declared_size, body);
    {
        std::lock_guard<std::mutex> lock(stop.mutex_);
        stop.client_ = nullptr;
    }
    if (too_large) {
        why = "the file at " + url + " is larger than " + std::to_string(max_bytes) + " bytes";
        return -1;
    }
    if (write_failed) {
        why = "the download could not be written";
        return -1;
    }
    if (!result) {
        why = "fetching " + url + ": " + httplib::to_string(result.error());
        return -1;
    }
    if (result->status != 200) {
        why = "fetching " + url + ": HTTP status " + std::to_string(result->status);
        return -1;
    }
    if (!sha256.empty()) {
        unsigned char digest[crypto_hash_sha256_BYTES];
        crypto_hash_sha256_final(&hash, digest);
        char hex[sizeof digest * 2 + 1];
        sodium_bin2hex(hex, sizeof hex, digest, sizeof digest);
        if (strcasecmp(hex, sha256.c_str()) != 0) {
            why = "the file at " + url + " does not have the SHA-256 given";
            return -1;
        }
    }
    file.keep = true;
    path = file.path;
    return 0;
}
