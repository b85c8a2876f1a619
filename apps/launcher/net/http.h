#pragma once

#include <cstdint>
#include <functional>
#include <string>

// Called between reads with the bytes received so far and the size the caller expects.
using DownloadProgress = std::function<void(uint64_t received, uint64_t expected)>;

// One GET of a whole body into memory. True only for a complete 200 answer. body is emptied
// first; error is left alone on success and otherwise holds one sentence for the user;
// responded says whether any answer arrived (whatever its status). Never throws.
bool HttpGet(const std::string& url, std::string& body, std::string& error, bool& responded,
             uint64_t expectedSize, const DownloadProgress& progress);
