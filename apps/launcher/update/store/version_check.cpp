#include "update/store/version_check.h"

#include <algorithm>
#include <exception>
#include <optional>
#include <string>
#include <unordered_map>

#include "files/file_io.h"
#include "files/folder_walk.h"
#include "update/store/version_store.h"

namespace fs = std::filesystem;

namespace {

// The walked entries by NameKey, as the manifest's paths are compared on Windows.
std::unordered_map<std::string, FolderEntry> ByName(std::vector<FolderEntry> walked) {
  std::unordered_map<std::string, FolderEntry> named;
  named.reserve(walked.size());
  for (FolderEntry& entry : walked) {
    try {
      named.emplace(NameKey(entry.path), std::move(entry));
    } catch (const std::exception&) {
      // A name that is no text is no name of the manifest's.
    }
  }
  return named;
}

}  // namespace

std::vector<DamagedFile> DamagedFiles(const fs::path& folder, const Manifest& manifest,
                                      FileCheck check, Sha256Provider& provider,
                                      const CheckProgress& progress) {
  const std::unordered_map<std::string, FolderEntry> onDisk = ByName(WalkFolder(folder));
  // The last entry of each name, with what stands there.
  std::unordered_map<std::string, size_t> lastOf;
  std::vector<std::string> names(manifest.files.size());
  for (size_t i = 0; i < manifest.files.size(); ++i) {
    if (const std::optional<fs::path> relative = RelativePath(manifest.files[i].path)) {
      names[i] = NameKey(*relative);
      lastOf[names[i]] = i;
    }
  }
  std::vector<DamagedFile> damaged;
  std::vector<size_t> toHash;
  uint64_t total = 0;
  for (size_t i = 0; i < manifest.files.size(); ++i) {
    if (names[i].empty() || lastOf[names[i]] != i) continue;
    const auto found = onDisk.find(names[i]);
    const EntryKind kind = found == onDisk.end() ? EntryKind::Missing : found->second.kind;
    if (kind != EntryKind::File || found->second.size != manifest.files[i].size) {
      damaged.push_back({i, kind});
    } else if (check == FileCheck::Fingerprints) {
      toHash.push_back(i);
      total += manifest.files[i].size;
    }
  }
  uint64_t done = 0;
  std::vector<DamagedFile> changed;
  for (const size_t i : toHash) {
    const ManifestFile& file = manifest.files[i];
    const Sha256HasherOwner hasher = StartSha256(provider);
    const uint64_t before = done;
    const bool read =
        ReadFileInPieces(folder / *RelativePath(file.path), [&](const char* data, size_t size) {
          UpdateSha256(*hasher, data, size);
          done += size;
          if (progress) progress(done, total);
          return true;
        });
    if (!read || FinishSha256Hex(*hasher) != file.sha256) changed.push_back({i, EntryKind::File});
    done = before + file.size;
  }
  damaged.insert(damaged.end(), changed.begin(), changed.end());
  std::sort(damaged.begin(), damaged.end(),
            [](const DamagedFile& a, const DamagedFile& b) { return a.entry < b.entry; });
  return damaged;
}
