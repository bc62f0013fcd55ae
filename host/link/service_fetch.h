// Files a command names by URL (an operator's package or firmware, from a server on their
// network), fetched by the service itself into its own temporary folder.
#pragma once

#include <cstdint>
#include <string>

// The most the service fetches for one file: a firmware image or a media package fits easily.
constexpr uint64_t FETCH_MAX = 1ull << 30;

// Fetches `url` (http:// only) into a new file of make_service_temp_file, at most `max_bytes`;
// when `sha256` (64 hex digits) is given, the file's SHA-256 must be it. 0 and the file's path,
// or -1 with the reason in `why` (and no file left).
int fetch_to_temp_file(const std::string& url, uint64_t max_bytes, const std::string& sha256, std::string& path,
                       std::string& why);
