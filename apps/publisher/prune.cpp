#include <algorithm>
#include <ostream>
#include <set>
#include <system_error>

#include "files/file_io.h"
#include "publisher.h"

namespace fs = std::filesystem;

namespace {

bool IsFingerprintName(const std::string& name) {
  return name.size() == 64 && name.find_first_not_of("0123456789abcdef") == std::string::npos;
}

void NameEverything(const Manifest& manifest, std::set<std::string>& needed) {
  for (const ManifestFile& file : manifest.files) {
    needed.insert(file.sha256);
    if (!file.chunks.empty()) needed.insert(file.chunks);
    if (!file.packed.sha256.empty()) needed.insert(file.packed.sha256);
    if (!file.packed.chunks.empty()) needed.insert(file.packed.chunks);
    for (const PatchObject& patch : file.patches) needed.insert(patch.sha256);
  }
  if (!manifest.launcher.path.empty()) needed.insert(manifest.launcher.sha256);
}

// The current manifest, then the keep newest other versions by their records' sequence. False,
// with error set, when any of them cannot be read: what it names is then unknown.
bool KeptVersions(const fs::path& client, size_t keep, std::vector<Manifest>& kept,
                  std::string& error) {
  std::string bytes;
  Manifest current;
  if (!ReadWholeFile(client / kManifestFileName, bytes) ||
      !ParseManifestContent(bytes, current, error)) {
    error =
        "There is no readable client/manifest.json in the website folder, so prune cannot "
        "tell what launchers need; nothing was removed.";
    return false;
  }
  std::vector<Manifest> records;
  std::error_code ec;
  for (fs::directory_iterator it(client / "versions", ec), end; !ec && it != end;
       it.increment(ec)) {
    const std::string name = it->path().filename().string();
    if (name.starts_with(".") || !name.ends_with(".json")) continue;
    Manifest record;
    if (!ReadWholeFile(it->path(), bytes) || !ParseManifestContent(bytes, record, error)) {
      error = "client/versions/" + name + " cannot be read as a version record, so prune cannot " +
              "tell what it needs; nothing was removed.";
      return false;
    }
    if (record.version != current.version) records.push_back(std::move(record));
  }
  // Records from before sequences existed count as the oldest.
  std::sort(records.begin(), records.end(), [](const Manifest& a, const Manifest& b) {
    return a.sequence.value_or(0) > b.sequence.value_or(0);
  });
  records.resize(std::min(records.size(), keep));
  kept = {std::move(current)};
  for (Manifest& record : records) kept.push_back(std::move(record));
  return true;
}

}  // namespace

int PruneWebsite(const fs::path& website, const std::string& keepText, bool dryRun, bool json,
                 std::ostream& out, std::ostream& err) {
  if (keepText.empty() || keepText.size() > 4 ||
      keepText.find_first_not_of("0123456789") != std::string::npos) {
    err << "kelvadon-publish: --keep takes a number of earlier versions, 0 to 9999.\n";
    return 2;
  }
  const fs::path client = website / "client";
  std::vector<Manifest> kept;
  std::string error;
  if (!KeptVersions(client, std::stoul(keepText), kept, error)) {
    err << "kelvadon-publish: " << error << "\n";
    return 1;
  }
  std::set<std::string> needed;
  for (const Manifest& manifest : kept) NameEverything(manifest, needed);

  // Only names a publish writes are candidates: a leftover temporary file or anything else put
  // there by hand stays.
  std::vector<fs::path> unneeded;
  uint64_t bytes = 0;
  std::error_code ec;
  for (fs::directory_iterator it(client / "files", ec), end; !ec && it != end; it.increment(ec)) {
    const std::string name = it->path().filename().string();
    if (!IsFingerprintName(name) || needed.contains(name) || !it->is_regular_file(ec)) continue;
    unneeded.push_back(it->path());
    bytes += it->file_size(ec);
  }
  if (ec) {
    err << "kelvadon-publish: Could not list " << (client / "files").string() << ": "
        << ec.message() << ".\n";
    return 1;
  }
  std::sort(unneeded.begin(), unneeded.end());
  size_t removed = 0;
  for (const fs::path& path : dryRun ? std::vector<fs::path>() : unneeded) {
    if (!fs::remove(path, ec)) {
      err << "kelvadon-publish: Could not remove " << path.string() << ": " << ec.message()
          << ".\n";
      return 1;
    }
    ++removed;
  }

  std::string versions;
  std::string versionsJson;
  for (const Manifest& manifest : kept) {
    versions += (versions.empty() ? "" : ", ") + manifest.version;
    versionsJson += (versionsJson.empty() ? "" : ", ") + JsonQuoted(manifest.version);
  }
  if (json) {
    out << JsonObjectText({{"command", JsonQuoted("prune")},
                           {"dryRun", dryRun ? "true" : "false"},
                           {"keptVersions", "[" + versionsJson + "]"},
                           {"keptFiles", std::to_string(needed.size())},
                           {"unneededFiles", std::to_string(unneeded.size())},
                           {"unneededBytes", std::to_string(bytes)},
                           {"removedFiles", std::to_string(removed)}})
        << "\n";
    return 0;
  }
  out << (dryRun ? "Dry run: would remove " : "Removed ") << unneeded.size()
      << (unneeded.size() == 1 ? " file (" : " files (") << bytes
      << " bytes) from client/files that no kept version names. Kept " << kept.size()
      << (kept.size() == 1 ? " version" : " versions") << " (" << versions << ") and the "
      << needed.size() << " files, launchers, chunk lists and packed objects they name."
      << (dryRun ? " Nothing was removed.\n" : "\n");
  return 0;
}
