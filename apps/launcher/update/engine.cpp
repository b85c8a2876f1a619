#include "update/engine.h"

#include <algorithm>
#include <chrono>
#include <exception>
#include <limits>
#include <optional>
#include <system_error>
#include <thread>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "common/system.h"
#include "common/text.h"
#include "files/disk.h"
#include "files/disk_space.h"
#include "files/file_io.h"
#include "files/patience.h"
#include "update/store/install_lock.h"
#include "update/store/install_root.h"
#include "update/store/sequence.h"
#include "update/store/version_store.h"
#include "update/transfer/chunked_rebuild.h"
#include "update/transfer/parallel_download.h"
#include "update/transfer/resume.h"
#include "update/trust/crypto.h"
#include "update/trust/freshness.h"

namespace fs = std::filesystem;

namespace {

// Ceilings on the small answers, far above any real manifest or signature.
constexpr uint64_t kMaxManifestBytes = uint64_t{64} * 1024 * 1024;
constexpr uint64_t kMaxSignatureBytes = uint64_t{4} * 1024;
constexpr char kManifestTooLarge[] = "The update's list of files is too large";
constexpr char kNotSigned[] = "The update isn't signed by Kelvadon, so it wasn't installed";

// A small answer whole in memory, refused once it grows past maxBytes.
bool FetchSmall(const HttpFetcher& fetch, HttpSession& session, const std::string& url,
                uint64_t maxBytes, const std::string& tooLong, std::string& body,
                std::string& error, bool& responded) {
  body.clear();
  HttpRequest request;
  request.url = url;
  request.maxBytes = maxBytes;
  request.tooLong = tooLong;
  bool over = false;
  const bool fetched = fetch(
      session, request,
      [&](const char* data, size_t size) {
        if (size > maxBytes - body.size()) {
          over = true;
          return false;
        }
        body.append(data, size);
        return true;
      },
      error, responded);
  if (over) error = tooLong;
  if (!fetched || over) body.clear();
  return fetched && !over;
}

// Fetches the manifest and its signature and accepts them; a pair that does not verify is fetched
// once more after the pause, so a publish caught between its two files is not called unsigned.
bool FetchManifest(const std::string& website, HttpSession& session, const HttpFetcher& fetch,
                   const RefetchPause& pause, std::string& manifestBytes,
                   std::string& signatureBytes, UpdateResult& result) {
  for (int attempt = 0;; ++attempt) {
    if (!FetchSmall(fetch, session, website + "/client/manifest.json", kMaxManifestBytes,
                    kManifestTooLarge, manifestBytes, result.error, result.reached) ||
        !FetchSmall(fetch, session, website + "/client/manifest.sig", kMaxSignatureBytes,
                    kNotSigned, signatureBytes, result.error, result.reached)) {
      return false;
    }
    if (ParseManifest(manifestBytes, signatureBytes, result.manifest, result.error)) return true;
    result.manifest = Manifest();
    if (attempt > 0 || result.error != kNotSigned) return false;
    result.error.clear();
    pause();
  }
}

// Adds the name to a round's names and the folders it lies in; false, changing nothing, when the
// round already names it, a folder it lies in, or a file inside it.
bool JoinRound(const std::string& name, std::unordered_set<std::string>& names,
               std::unordered_set<std::string>& folders) {
  if (names.count(name) != 0 || folders.count(name) != 0) return false;
  std::vector<std::string> above;
  for (size_t slash = name.find('/'); slash != std::string::npos;
       slash = name.find('/', slash + 1)) {
    above.push_back(name.substr(0, slash));
    if (names.count(above.back()) != 0) return false;
  }
  names.insert(name);
  folders.insert(above.begin(), above.end());
  return true;
}

uint64_t SaturatingAdd(uint64_t a, uint64_t b) {
  return b > std::numeric_limits<uint64_t>::max() - a ? std::numeric_limits<uint64_t>::max()
                                                      : a + b;
}

std::string CouldNotWrite(const fs::path& path) {
  return "Couldn't write " + PathForMessage(path) + " (is the disk full?)";
}

// The staging folder of the new version and what is known about each entry before anything is
// placed.
struct Stage {
  fs::path folder;
  std::vector<fs::path> destinations;
  std::vector<std::string> names;  // NameKey of each entry
  std::vector<StagedFile> staged;  // what an interrupted run left of each entry
  ReusableFiles reusable;          // files on disk to copy from, by fingerprint
  ChunkedKeptFiles chunked;        // kept files with chunk lists, to rebuild from
};

// What putting a version's files into its staging folder works with.
struct FilePlacement {
  const Manifest& manifest;
  const std::string& website;
  Stage& stage;
  Sha256Provider& hashing;
  HttpSession& session;
  const UpdateEnvironment& environment;
  std::function<void(uint64_t done)> report = nullptr;  // the bytes fetched so far
  std::function<void()> waiting = nullptr;              // a download waits for another program
  uint64_t done = 0;
  // The first failure in manifest order decides the sentence, whatever failed first in time.
  size_t failedAt = std::numeric_limits<size_t>::max();
  std::string failure{};

  void Fail(size_t i, std::string text) {
    if (i >= failedAt) return;
    failedAt = i;
    failure = std::move(text);
  }
  bool Failed() const { return failedAt != std::numeric_limits<size_t>::max(); }

  // A later entry of the same fingerprint is copied from here, freshly checked, before any
  // older copy.
  void PlacedAt(size_t i) {
    std::vector<fs::path>& sources = stage.reusable[manifest.files[i].sha256];
    sources.insert(sources.begin(), stage.destinations[i]);
  }

  // Copies entry i from a file of its fingerprint. False when the copy could not be written.
  bool CopyFromPartners(size_t i, bool& placed) {
    placed = false;
    const auto partners = stage.reusable.find(manifest.files[i].sha256);
    if (partners == stage.reusable.end()) return true;
    for (const fs::path& partner : partners->second) {
      if (partner == stage.destinations[i]) continue;
      const CopyOutcome copy = CopyFileChecked(partner, FileExcerpt(), stage.destinations[i],
                                               manifest.files[i].sha256, hashing);
      if (copy == CopyOutcome::NotWritten) {
        Fail(i, CouldNotWrite(stage.destinations[i]));
        return false;
      }
      if (copy == CopyOutcome::Done) {
        placed = true;
        return true;
      }
    }
    return true;
  }

  // Makes entry i, the empty file, on the disk: there is nothing to fetch. False when it could not
  // be written.
  bool MakeEmpty(size_t i) {
    std::FILE* file = OpenForWriting(stage.destinations[i]);
    if (file == nullptr || !CloseStagedFile(file)) {
      Fail(i, CouldNotWrite(stage.destinations[i]));
      return false;
    }
    return true;
  }

  // Rebuilds entry i from the kept files' chunks. False when it could not be written.
  bool Rebuild(size_t i, bool& placed) {
    uint64_t fetched = 0;
    const RebuildOutcome rebuilt = RebuildFromChunks(
        environment.fetch, session, website, manifest.files[i], stage.chunked, hashing,
        stage.destinations[i], [&](uint64_t now) { report(SaturatingAdd(done, now)); }, fetched);
    // What was fetched counts as done whatever came of it, so the progress never goes back.
    done = SaturatingAdd(done, fetched);
    if (rebuilt == RebuildOutcome::NotWritten) {
      Fail(i, CouldNotWrite(stage.destinations[i]));
      return false;
    }
    placed = rebuilt == RebuildOutcome::Done;
    return true;
  }

  DownloadJob JobFor(size_t i) const {
    const ManifestFile& file = manifest.files[i];
    DownloadJob job;
    job.request.url = website + "/client/files/" + file.sha256;
    job.request.maxBytes = file.size;
    job.request.tooLong =
        file.path + " came out wrong (it didn't match its fingerprint): try again";
    job.request.expectedSize = file.size;
    job.sha256 = file.sha256;
    job.destination = stage.destinations[i];
    job.resumeFrom = stage.staged[i].resumeFrom;
    return job;
  }

  // Downloads the jobs of entries, all at once. False when one failed.
  bool Download(const std::vector<DownloadJob>& jobs, const std::vector<size_t>& entries) {
    if (jobs.empty()) return true;
    const DownloadsResult downloaded = DownloadFiles(
        environment.fetch, session, jobs, [&](uint64_t now) { report(SaturatingAdd(done, now)); },
        waiting, environment.downloads);
    done = SaturatingAdd(done, downloaded.counted);
    for (size_t j = 0; j < downloaded.failed; ++j) PlacedAt(entries[j]);
    if (downloaded.failed == jobs.size()) return true;
    const size_t i = entries[downloaded.failed];
    switch (downloaded.outcome) {
      case DownloadOutcome::NotFetched:
        Fail(i, "Couldn't download " + manifest.files[i].path + ": " + downloaded.error);
        break;
      case DownloadOutcome::NotWritten:
        Fail(i, CouldNotWrite(stage.destinations[i]));
        break;
      case DownloadOutcome::Wrong:
      case DownloadOutcome::Done:
        Fail(i, downloaded.error);
        break;
    }
    return false;
  }
};

// Entries are placed in rounds in which no path comes twice and none lies inside another: a
// round's copies and rebuilds are made in order, its downloads then run together, and last come
// the copies of what they fetched. So a path named twice still ends with the later entry's file,
// and a file that stands where another needs a folder fails as it did in order.
struct Round {
  std::unordered_set<std::string> names;
  std::unordered_set<std::string> folders;  // every folder the names lie in
  std::vector<DownloadJob> jobs;
  std::vector<size_t> entries;                          // the entry of each job
  std::unordered_map<std::string, size_t> downloading;  // fingerprint -> job
  std::vector<size_t> copies;                           // entries that wait for a download
};

// The round's downloads, then the copies that waited for them. False once anything failed.
bool EndRound(FilePlacement& placement, Round& round) {
  placement.Download(round.jobs, round.entries);
  for (const size_t i : round.copies) {
    if (i > placement.failedAt) break;
    bool placed = false;
    if (!placement.CopyFromPartners(i, placed)) break;
    // The download it waited for is gone or changed on the disk: it is fetched itself.
    if (!placed && !placement.Download({placement.JobFor(i)}, {i})) break;
    placement.PlacedAt(i);
  }
  round = Round();
  return !placement.Failed();
}

// Puts every entry of the manifest not staged whole into its destination. False, with the
// sentence in placement.failure, when one could not be placed.
bool PlaceFiles(FilePlacement& placement) {
  const Manifest& manifest = placement.manifest;
  Round round;
  for (size_t i = 0; i < manifest.files.size() && !placement.Failed(); ++i) {
    const ManifestFile& file = manifest.files[i];
    if (!JoinRound(placement.stage.names[i], round.names, round.folders)) {
      if (!EndRound(placement, round)) break;
      JoinRound(placement.stage.names[i], round.names, round.folders);
    }
    if (placement.stage.staged[i].whole) continue;
    if (round.downloading.count(file.sha256) != 0) {
      round.copies.push_back(i);
      continue;
    }
    if (file.size == 0) {
      if (!placement.MakeEmpty(i)) break;
      placement.PlacedAt(i);
      continue;
    }
    bool placed = false;
    if (!placement.CopyFromPartners(i, placed)) break;
    if (!placed && !file.chunks.empty() && !placement.Rebuild(i, placed)) break;
    if (placed) {
      placement.PlacedAt(i);
      continue;
    }
    round.downloading[file.sha256] = round.jobs.size();
    round.jobs.push_back(placement.JobFor(i));
    round.entries.push_back(i);
  }
  // The last round, or the downloads of the entries before a failure: one of them may have
  // failed first in manifest order.
  EndRound(placement, round);
  return !placement.Failed();
}

// The sentence for a failed step of the store.
std::string StoreFailureText(const StoreResult& stored) {
  switch (stored.failure) {
    case StoreFailure::FolderMissing:
      return "Couldn't finish installing (the new version's folder is missing)";
    case StoreFailure::NotRenamed:
      return "Couldn't finish installing (" + SystemErrorText(stored.systemError) + ")";
    case StoreFailure::NotWritten:
    case StoreFailure::None:
      break;
  }
  return CouldNotWrite(stored.path);
}

bool Succeeded(const StoreResult& stored, UpdateResult& result) {
  if (stored.failure == StoreFailure::None) return true;
  result.error = StoreFailureText(stored);
  return false;
}

// Accept: the manifest is judged and remembered under the lock, so that two launchers never write
// a lower sequence over a higher one; before anything on disk, so that an old manifest cannot even
// switch back to a version still kept.
bool Accept(const fs::path& root, const UpdateEnvironment& environment, UpdateResult& result) {
  if (AcceptFreshManifest(root, result.manifest, BuildMinimumSequence, environment.clock(),
                          result.error)) {
    return true;
  }
  result.version.clear();
  result.manifest = Manifest();
  return false;
}

// Stage: every destination is known before anything is written, so a name that cannot be a file
// leaves the disk untouched. An interrupted run's staging folder of this version is picked up
// where it stopped: its whole files count as kept versions' files do, and a file cut short
// continues. Anything else of that name (a file, a link) goes, and so does anything in it the
// manifest does not name.
bool StageVersion(const Manifest& manifest, const fs::path& versions, const fs::path& current,
                  const DownloadSettings& downloads, Sha256Provider& hashing, Stage& stage,
                  std::string& error) {
  stage.folder = versions / (manifest.version + ".partial");
  std::unordered_map<std::string, size_t> entriesNamed;
  for (const ManifestFile& file : manifest.files) {
    const std::optional<fs::path> relative = RelativePath(file.path);
    if (!relative) {
      error = "The update names a file that isn't valid text";
      return false;
    }
    stage.destinations.push_back(stage.folder / *relative);
    stage.names.push_back(NameKey(*relative));
    ++entriesNamed[stage.names.back()];
  }
  const std::vector<KeptVersion> kept = KeptVersions(versions, current);
  stage.reusable = IndexByFingerprint(kept);
  for (const KeptVersion& version : kept) {
    for (const ManifestFile& file : version.manifest.files) {
      if (const std::optional<fs::path> relative = RelativePath(file.path)) {
        AddChunkedKeptFile(stage.chunked, file, version.folder / *relative);
      }
    }
  }

  PrepareStagingFolder(stage.folder, stage.names);
  for (size_t i = 0; i < manifest.files.size(); ++i) {
    const ManifestFile& file = manifest.files[i];
    // A path the manifest names twice may hold either entry's file, so neither is taken as
    // staged: the later entry's file must be the one left there.
    if (entriesNamed[stage.names[i]] > 1) {
      stage.staged.emplace_back();
      continue;
    }
    stage.staged.push_back(InspectStagedFile(stage.destinations[i], file.size, file.sha256, hashing,
                                             RangedSlackBytes(file.size, downloads)));
    if (stage.staged.back().whole) {
      std::vector<fs::path>& sources = stage.reusable[file.sha256];
      sources.insert(sources.begin(), stage.destinations[i]);
    }
  }
  return true;
}

// Budget: what the update will fetch, for the progress, and what it will still write, for the
// free-space check.
struct Budget {
  uint64_t fetch = 0;
  uint64_t write = 0;
};

// A fingerprint is downloaded at most once, so it counts once; a file rebuilt from a kept one
// counts the bytes it fetches. What is still to be written includes the copies.
Budget PlanBudget(const Manifest& manifest, const Stage& stage, uint64_t manifestCopyBytes,
                  const std::string& website, HttpSession& session,
                  const UpdateEnvironment& environment) {
  Budget budget;
  budget.write = manifestCopyBytes;
  std::unordered_set<std::string> counted;
  for (size_t i = 0; i < manifest.files.size(); ++i) {
    const ManifestFile& file = manifest.files[i];
    if (stage.staged[i].whole) continue;
    const uint64_t rest = file.size - std::min(file.size, stage.staged[i].resumeFrom);
    budget.write = SaturatingAdd(budget.write, rest);
    if (stage.reusable.count(file.sha256) == 0 && counted.insert(file.sha256).second) {
      // Less than the whole file only when it is rebuilt from a kept one; otherwise a file cut
      // short continues.
      const uint64_t planned =
          file.chunks.empty()
              ? file.size
              : PlannedDownloadBytes(environment.fetch, session, website, file, stage.chunked);
      budget.fetch = SaturatingAdd(budget.fetch, planned < file.size ? planned : rest);
    }
  }
  return budget;
}

// Place: every entry not staged whole is copied, rebuilt or downloaded, with the progress
// reported as a change of the shown text only, not every piece that arrives.
bool Place(const std::string& website, const Manifest& manifest, Stage& stage, uint64_t total,
           bool installing, HttpSession& session, const UpdateEnvironment& environment,
           Sha256Provider& hashing, const ProgressReporter& reporter, std::string& error) {
  const std::string action = installing ? "Installing Kelvadon" : "Updating Kelvadon";
  std::string shown;
  FilePlacement placement{.manifest = manifest,
                          .website = website,
                          .stage = stage,
                          .hashing = hashing,
                          .session = session,
                          .environment = environment};
  placement.report = [&](uint64_t now) {
    std::string text = action + "... ";
    double fraction = -1.0;
    if (total != 0) {
      text += std::to_string(now * 100 / total) + "%";
      fraction = static_cast<double>(now) / static_cast<double>(total);
    }
    if (text == shown) return;
    shown = text;
    reporter(text, fraction);
  };
  placement.waiting = [&] {
    reporter(kWaitingForFilesStatus, -1.0);
    shown.clear();
  };
  if (PlaceFiles(placement)) return true;
  error = placement.failure;
  return false;
}

UpdateResult RunUpdate(const std::string& website, const fs::path& root,
                       const ProgressReporter& reporter, HttpSession& session,
                       const UpdateEnvironment& environment) {
  UpdateResult result;
  if (website.empty()) {
    result.error = "No website to update from";
    return result;
  }
  reporter("Checking for updates...", -1.0);
  // A step that waits for another program to let go of a file says so on the status line.
  const PatienceScope patience(environment.patience,
                               [&reporter] { reporter(kWaitingForFilesStatus, -1.0); });
  std::string manifestBytes;
  std::string signatureBytes;
  if (!FetchManifest(website, session, environment.fetch, environment.refetchPause, manifestBytes,
                     signatureBytes, result)) {
    return result;
  }
  result.version = result.manifest.version;
  const InstallRootLock lock(root, [&reporter] { reporter(kWaitingForLockStatus, -1.0); });
  if (!Accept(root, environment, result)) return result;
  const Manifest& manifest = result.manifest;
  const fs::path versions = root / kVersionsFolderName;
  const fs::path finalFolder = versions / result.version;
  if (HoldsCompleteVersion(versions, result.version)) {
    result.ready = Succeeded(MakeCurrent(root, result.version, finalFolder), result);
    return result;
  }

  const fs::path old = CurrentVersionFolder(root);
  const Sha256ProviderOwner hashing = OpenSha256Provider();
  Stage stage;
  if (!StageVersion(manifest, versions, old, environment.downloads, *hashing, stage,
                    result.error)) {
    return result;
  }
  const Budget budget =
      PlanBudget(manifest, stage, SaturatingAdd(manifestBytes.size(), signatureBytes.size()),
                 website, session, environment);
  if (!HasRoomFor(root, budget.write, result.error)) return result;
  if (!Place(website, manifest, stage, budget.fetch, old.empty(), session, environment, *hashing,
             reporter, result.error)) {
    return result;
  }
  if (!Succeeded(
          CommitStaging(stage.folder, finalFolder, result.version, manifestBytes, signatureBytes),
          result) ||
      !Succeeded(MakeCurrent(root, result.version, finalFolder), result)) {
    return result;
  }
  RemoveOtherVersions(versions, finalFolder, old);
  result.ready = true;
  return result;
}

}  // namespace

void PauseBeforeRefetch() { std::this_thread::sleep_for(std::chrono::seconds(2)); }

UpdateResult UpdateInstallation(const std::string& website, const fs::path& root,
                                const ProgressReporter& reporter,
                                const UpdateEnvironment& environment) {
  HttpSessionOwner own;
  if (environment.session == nullptr) own = OpenHttpSession();
  return RunUpdate(website, root, reporter, environment.session ? *environment.session : *own,
                   environment);
}
