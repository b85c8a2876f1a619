#include "update/engine.h"

#include <algorithm>
#include <chrono>
#include <exception>
#include <limits>
#include <optional>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "common/system.h"
#include "common/text.h"
#include "update/crypto.h"
#include "update/disk.h"
#include "update/disk_steps.h"
#include "update/freshness.h"
#include "update/install_lock.h"
#include "update/layout.h"
#include "update/patience.h"

namespace fs = std::filesystem;

namespace {

struct ReusableFile {
  std::string sha256;
  fs::path path;
};

// A manifest path as a relative file path; nothing when it is not valid UTF-8 (the manifest's
// path rule does not look at the encoding).
std::optional<fs::path> RelativePath(const std::string& utf8) {
  try {
    return PathFromUtf8(utf8);
  } catch (const std::exception&) {
    return std::nullopt;
  }
}

// Whether two paths name one entry. Windows stores a folder named "1.0." as "1.0" and ignores
// case, so spellings can differ for one folder; comparing them would remove the version just
// installed or the one kept. Spelling decides only when the entries cannot be compared.
bool SameEntry(const fs::path& a, const fs::path& b) {
  std::error_code ec;
  const bool same = fs::equivalent(a, b, ec);
  if (!ec) return same;
  return a.lexically_normal() == b.lexically_normal();
}

uint64_t SaturatingAdd(uint64_t a, uint64_t b) {
  return b > std::numeric_limits<uint64_t>::max() - a ? std::numeric_limits<uint64_t>::max()
                                                      : a + b;
}

std::string CouldNotWrite(const fs::path& path) {
  return "Couldn't write " + PathForMessage(path) + " (is the disk full?)";
}

// Points current.txt at the version. True only when current.txt then names that complete folder.
bool MakeCurrent(const fs::path& root, const std::string& version, const fs::path& finalFolder,
                 std::string& error) {
  const fs::path currentFile = root / kCurrentFileName;
  if (!ReplaceFileAtomically(currentFile, version + "\n") ||
      !SameEntry(CurrentVersionFolder(root), finalFolder)) {
    error = CouldNotWrite(currentFile);
    return false;
  }
  return true;
}

// Removes every entry of Versions but the two kept. A listing error ends the listing, and what
// was listed until then is still removed: the switch is done and stays done.
void RemoveOtherVersions(const fs::path& versions, const fs::path& keep, const fs::path& previous) {
  std::vector<fs::path> doomed;
  std::error_code ec;
  for (fs::directory_iterator it(versions, ec), end; !ec && it != end; it.increment(ec)) {
    const fs::path& entry = it->path();
    if (SameEntry(entry, keep) || (!previous.empty() && SameEntry(entry, previous))) continue;
    doomed.push_back(entry);
  }
  for (const fs::path& entry : doomed) {
    // A marked folder counts as complete without being looked into (a rollback switches to it
    // at once), so the mark goes first: an interrupted removal leaves a folder that is plainly
    // incomplete rather than one that claims to be whole.
    if (EntryKindOf(entry) == EntryKind::Folder) {
      BeforeDiskStep();
      RemovePathTree(entry / kMarkerFileName, Waiting::None);
    }
    BeforeDiskStep();
    RemovePathTree(entry, Waiting::None);
  }
}

// Fetches the manifest and its signature; a pair that does not verify is fetched once more after
// the pause, so a publish caught between its two files is not called unsigned.
bool FetchManifestPair(const std::string& website, const HttpFetcher& fetch,
                       const RefetchPause& pause, std::string& manifestBytes,
                       std::string& signatureBytes, UpdateResult& result) {
  for (int attempt = 0;; ++attempt) {
    if (!fetch(website + "/client/manifest.json", manifestBytes, result.error, result.reached, 0,
               DownloadProgress()) ||
        !fetch(website + "/client/manifest.sig", signatureBytes, result.error, result.reached, 0,
               DownloadProgress())) {
      return false;
    }
    if (attempt > 0 || !HasReleaseKey() || VerifyReleaseSignature(manifestBytes, signatureBytes)) {
      return true;
    }
    pause();
  }
}

}  // namespace

UpdateResult UpdateInstallation(const std::string& website, const fs::path& root,
                                const ProgressReporter& reporter) {
  return UpdateInstallation(website, root, reporter, HttpGet);
}

UpdateResult UpdateInstallation(const std::string& website, const fs::path& root,
                                const ProgressReporter& reporter, const HttpFetcher& fetch) {
  return UpdateInstallation(website, root, reporter, fetch,
                            [] { std::this_thread::sleep_for(std::chrono::seconds(2)); });
}

UpdateResult UpdateInstallation(const std::string& website, const fs::path& root,
                                const ProgressReporter& reporter, const HttpFetcher& fetch,
                                const RefetchPause& pause, const UtcClock& clock) {
  UpdateResult result;
  if (website.empty()) {
    result.error = "No website to update from";
    return result;
  }
  reporter("Checking for updates...", -1.0);
  // A step that waits for another program to let go of a file says so on the status line.
  const WaitNotice waitNotice([&reporter] { reporter(kWaitingForFilesStatus, -1.0); });

  std::string manifestBytes;
  std::string signatureBytes;
  if (!FetchManifestPair(website, fetch, pause, manifestBytes, signatureBytes, result)) {
    return result;
  }
  if (!ParseManifest(manifestBytes, signatureBytes, result.manifest, result.error)) {
    result.manifest = Manifest();
    return result;
  }
  const Manifest& manifest = result.manifest;
  result.version = manifest.version;

  const fs::path versions = root / kVersionsFolderName;
  const fs::path finalFolder = versions / result.version;
  const fs::path staging = versions / (result.version + ".partial");
  const InstallRootLock lock(root, [&reporter] { reporter(kWaitingForLockStatus, -1.0); });
  // Judged and remembered under the lock, so that two launchers never write a lower sequence
  // over a higher one; before anything on disk, so that an old manifest cannot even switch back
  // to a version still kept.
  if (!AcceptFreshManifest(root, manifest, clock(), result.error)) {
    result.version.clear();
    result.manifest = Manifest();
    return result;
  }

  std::error_code ec;
  if (EntryKindOf(finalFolder / kMarkerFileName) != EntryKind::Missing) {
    result.ready = MakeCurrent(root, result.version, finalFolder, result.error);
    return result;
  }

  const fs::path old = CurrentVersionFolder(root);
  std::vector<ReusableFile> reusable;
  Manifest installed;
  if (!old.empty() && LoadInstalledManifest(old, installed)) {
    for (const ManifestFile& file : installed.files) {
      if (const std::optional<fs::path> relative = RelativePath(file.path)) {
        reusable.push_back({file.sha256, old / *relative});
      }
    }
  }
  const auto findReusable = [&](const std::string& sha256) -> const ReusableFile* {
    for (const ReusableFile& candidate : reusable) {
      if (candidate.sha256 == sha256) return &candidate;
    }
    return nullptr;
  };

  // Every destination is known before anything is written, so a name that cannot be a file
  // leaves the disk untouched.
  std::vector<fs::path> destinations;
  destinations.reserve(manifest.files.size());
  for (const ManifestFile& file : manifest.files) {
    const std::optional<fs::path> relative = RelativePath(file.path);
    if (!relative) {
      result.error = "The update names a file that isn't valid text";
      return result;
    }
    destinations.push_back(staging / *relative);
  }

  uint64_t total = 0;
  for (const ManifestFile& file : manifest.files) {
    if (findReusable(file.sha256) == nullptr) total = SaturatingAdd(total, file.size);
  }
  uint64_t done = 0;

  BeforeDiskStep();
  RemovePathTree(staging);
  BeforeDiskStep();
  CreateFolders(staging, ec);

  const std::string action = old.empty() ? "Installing Kelvadon" : "Updating Kelvadon";
  for (size_t i = 0; i < manifest.files.size(); ++i) {
    const ManifestFile& file = manifest.files[i];
    std::string content;
    bool reused = false;
    if (const ReusableFile* partner = findReusable(file.sha256)) {
      bool whole = false;
      reused = ReadWholeFile(partner->path, content, &whole) && whole &&
               Sha256Hex(content) == file.sha256;
    }
    if (!reused) {
      const DownloadProgress progress = [&](uint64_t received, uint64_t /*expected*/) {
        const uint64_t now = SaturatingAdd(done, std::min(received, file.size));
        if (total == 0) {
          reporter(action + "... ", -1.0);
          return;
        }
        reporter(action + "... " + std::to_string(now * 100 / total) + "%",
                 static_cast<double>(now) / static_cast<double>(total));
      };
      bool responded = false;
      BeforeDiskStep();
      if (!fetch(website + "/client/files/" + file.sha256, content, result.error, responded,
                 file.size, progress)) {
        result.error = "Couldn't download " + file.path + ": " + result.error;
        return result;
      }
      if (Sha256Hex(content) != file.sha256) {
        result.error = file.path + " came out wrong (it didn't match its fingerprint): try again";
        return result;
      }
      done = SaturatingAdd(done, file.size);
    }
    BeforeDiskStep();
    if (!WriteWholeFile(destinations[i], content)) {
      result.error = CouldNotWrite(destinations[i]);
      return result;
    }
  }

  // The copies of the manifest let the next update reuse these files; the marker comes last and
  // is what makes the folder count as complete.
  BeforeDiskStep();
  WriteWholeFile(staging / kManifestFileName, manifestBytes);
  BeforeDiskStep();
  WriteWholeFile(staging / kSignatureFileName, signatureBytes);
  BeforeDiskStep();
  if (!WriteWholeFile(staging / kMarkerFileName, MarkerText(result.version))) {
    result.error = CouldNotWrite(staging / kMarkerFileName);
    return result;
  }

  // A folder of the final name without a marker is what an interrupted earlier run left.
  BeforeDiskStep();
  RemovePathTree(finalFolder);
  BeforeDiskStep();
  if (!RenameReplacing(staging, finalFolder, ec)) {
    result.error = "Couldn't finish installing (" + SystemErrorText(ec.value()) + ")";
    return result;
  }

  if (!MakeCurrent(root, result.version, finalFolder, result.error)) return result;
  RemoveOtherVersions(versions, finalFolder, old);
  result.ready = true;
  return result;
}
