// Files a command names by URL (an operator's package or firmware, from a server on their
// network), fetched by the service itself into its own temporary folder.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>

namespace httplib {
class Client;
}

// The most the service fetches for one file: a firmware image or a media package fits easily.
constexpr uint64_t FETCH_MAX = 1ull << 30;

// Lets another thread end an owner's fetches at once, even one that waits on a silent server.
class fetch_stop {
public:
    // Ends the fetch under way, and refuses every later one.
    void stop();

private:
    friend int fetch_to_temp_file(const std::string&, uint64_t, const std::string&, fetch_stop&, std::string&,
                                  std::string&);
    std::mutex mutex_;
    bool stopped_ = false;
    httplib::Client* client_ = nullptr;
};

// Fetches `url` (http:// only) into a new file of make_service_temp_file, at most `max_bytes`;
// when `sha256` (64 hex digits) is given, the file's SHA-256 must be it. 0 and the file's path,
// or -1 with the reason in `why` (and no file left).
int fetch_to_temp_file(const std::string& url, uint64_t max_bytes, const std::string& sha256, fetch_stop& stop,
                       std::string& path, std::string& why);
