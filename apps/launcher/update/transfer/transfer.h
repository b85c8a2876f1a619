#pragma once

// A file's bytes copied or hashed in pieces, so that no file is ever held whole in memory.

#include <cstdint>
#include <filesystem>
#include <functional>
#include <limits>
#include <string>
#include <vector>

#include "net/stamp.h"
#include "update/trust/crypto.h"

// The first length bytes of a file with the patches laid over them: what a copy or a hash takes.
struct FileExcerpt {
  uint64_t length = std::numeric_limits<uint64_t>::max();
  std::vector<BytePatch> patches;
};

// The SHA-256 of the excerpt of the file as 64 hex digits; empty when the file cannot be read or
// is shorter than the excerpt's length (when the length is given).
std::string HashFileExcerpt(const std::filesystem::path& path, Sha256Provider& provider,
                            const FileExcerpt& excerpt = {});

enum class CopyOutcome {
  Done,        // the copy hashed to the fingerprint and reached the file whole
  Wrong,       // the source could not be read or hashed to another fingerprint
  NotWritten,  // the destination could not be opened or written
};

// Closes the destination with CloseStagedFile: it counts only once FlushStagedFiles has answered
// true.

// Copies the excerpt of source to destination (created or emptied), hashing it on the way. On any
// outcome but Done a destination file that was opened is removed; whatever stood in the way of
// opening it stays.
CopyOutcome CopyFileChecked(const std::filesystem::path& source, const FileExcerpt& excerpt,
                            const std::filesystem::path& destination, const std::string& sha256,
                            Sha256Provider& provider);
