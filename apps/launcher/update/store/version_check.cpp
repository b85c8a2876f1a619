#include "update/store/version_check.h"

#include <algorithm>
#include <optional>
#include <string>
#include <unordered_map>

#include "files/file_io.h"
#include "files/file_status.h"
#include "update/store/version_store.h"

namespace fs = std::filesystem;

namespace {

// What two spellings of a manifest path share on Windows (either slash, any letter case): the
// path rule leaves no "." or ".." or empty piece to normalise, so this is NameKey without its
// cost, which a start would pay for every file.
std::string SpellingKey(const std::string& path) {
  std::string key = path;
  for (char& c : key) {
    if (c == '\\') c = '/';
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return key;
}

}  // namespace

std::vector<DamagedFile> DamagedFiles(const fs::path& folder, const Manifest& manifest,
                                      FileCheck check, Sha256Provider& provider,
                                      const CheckProgress& progress) {
  // The last entry of each name is the one whose file was placed there.
  std::unordered_map<std::string, size_t> lastOf;
  lastOf.reserve(manifest.files.size());
  for (size_t i = 0; i < manifest.files.size(); ++i) {
    lastOf[SpellingKey(manifest.files[i].path)] = i;
  }
  std::vector<size_t> judged;
  std::vector<fs::path> relatives;
  for (size_t i = 0; i < manifest.files.size(); ++i) {
    const std::optional<fs::path> relative = RelativePath(manifest.files[i].path);
    if (!relative || lastOf[SpellingKey(manifest.files[i].path)] != i) continue;
    judged.push_back(i);
    relatives.push_back(*relative);
  }
  const std::vector<FileStatus> statuses = StatusesOf(folder, relatives);
  std::vector<DamagedFile> damaged;
  std::vector<std::pair<size_t, fs::path>> toHash;
  uint64_t total = 0;
  for (size_t k = 0; k < judged.size(); ++k) {
    const size_t i = judged[k];
    if (statuses[k].kind != EntryKind::File || statuses[k].size != manifest.files[i].size) {
      damaged.push_back({i, statuses[k].kind});
    } else if (check == FileCheck::Fingerprints) {
      toHash.emplace_back(i, folder / relatives[k]);
      total += manifest.files[i].size;
    }
  }
  uint64_t done = 0;
  for (const auto& [i, path] : toHash) {
    const ManifestFile& file = manifest.files[i];
    const Sha256HasherOwner hasher = StartSha256(provider);
    const uint64_t before = done;
    const bool read = ReadFileInPieces(path, [&](const char* data, size_t size) {
      UpdateSha256(*hasher, data, size);
      done += size;
      if (progress) progress(done, total);
      return true;
    });
    if (!read || FinishSha256Hex(*hasher) != file.sha256) damaged.push_back({i, EntryKind::File});
    done = before + file.size;
  }
  std::sort(damaged.begin(), damaged.end(),
            [](const DamagedFile& a, const DamagedFile& b) { return a.entry < b.entry; });
  return damaged;
}
