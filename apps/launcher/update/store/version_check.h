#pragma once

// Whether a complete version's files are still as its manifest says. A marked version counts as
// complete, but a virus scanner, a cleaner or a power cut can take a file away or cut it short
// behind the launcher's back afterwards.

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <vector>

#include "files/disk.h"
#include "update/trust/crypto.h"
#include "update/trust/manifest.h"

enum class FileCheck {
  Sizes,         // presence and size, from each file's directory entry: no file is read
  Fingerprints,  // and each file that passes that is hashed
};

struct DamagedFile {
  size_t entry = 0;                      // its index in the manifest's files
  EntryKind found = EntryKind::Missing;  // what stands at its path
};

// The bytes hashed so far and the bytes to hash in all.
using CheckProgress = std::function<void(uint64_t done, uint64_t total)>;

// The manifest's files in the version folder that are missing, not a plain file, of another size
// or (Fingerprints) of other bytes, in manifest order. A path
// the manifest names twice holds its later entry's file, so only that entry is judged. Nothing but
// the manifest's files is looked at: the player's own files beside them are not the version's
// business.
std::vector<DamagedFile> DamagedFiles(const std::filesystem::path& folder, const Manifest& manifest,
                                      FileCheck check, Sha256Provider& provider,
                                      const CheckProgress& progress = nullptr);
