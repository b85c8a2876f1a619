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
#include "update/store/version_check.h"
#include "update/store/version_store.h"
#include "update/transfer/executor.h"
#include "update/transfer/plan.h"
#include "update/trust/crypto.h"
#include "update/trust/freshness.h"

namespace fs = std::filesystem;

namespace {

// Ceilings on the small answers, far above any real manifest or signature.
constexpr uint64_t kMaxManifestBytes = uint64_t{64} * 1024 * 1024;
constexpr uint64_t kMaxSignatureBytes = uint64_t{4} * 1024;
constexpr char kManifestTooLarge[] = "The update's list of files is too large";
constexpr char kNotSigned[] = "The update isn't signed by Kelvadon, so it wasn't installed";

// A small answer whole in memory; one that grows past maxBytes fails with tooLong.
bool FetchSmall(const HttpFetcher& fetch, HttpSession& session, const std::string& url,
                uint64_t maxBytes, const char* tooLong, std::string& body, std::string& error,
                bool& responded) {
  HttpRequest request;
  request.url = url;
  request.maxBytes = maxBytes;
  const FetchStatus status = FetchBody(fetch, session, request, body, error, responded);
  if (status == FetchStatus::TooLong) error = tooLong;
  return status == FetchStatus::Done;
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

constexpr size_t kNoEntry = std::numeric_limits<size_t>::max();

// Where the staging folder is asked whether it can share a kept file's bytes; a leftover goes
// with the folder's other unnamed entries.
constexpr char kShareProbeName[] = "kelvadon-share-check.tmp";

// Every entry's plan, and what the update will fetch, for the progress, and write, for the
// free-space check.
struct VersionPlan {
  std::vector<std::optional<FilePlan>> files;  // none for an entry staged whole
  // The earlier entry of the same fingerprint this update places, whose file an entry copies.
  std::vector<size_t> copyOf;
  uint64_t fetch = 0;
  uint64_t write = 0;
};

// Plans every entry in order. A fingerprint is fetched at most once: a later entry of it copies
// the file an earlier one placed, before any older copy, so it counts once.
VersionPlan PlanVersion(const std::string& website, const Manifest& manifest, const Stage& stage,
                        uint64_t manifestCopyBytes, HttpSession& session,
                        const UpdateEnvironment& environment, Sha256Provider& hashing) {
  VersionPlan plan;
  plan.write = manifestCopyBytes;
  std::unordered_map<std::string, std::vector<fs::path>> placedHere;
  std::unordered_map<std::string, size_t> lastPlaced;
  std::optional<bool> sharing;  // tried on the first file a kept version holds
  const bool canProbe = std::find(stage.names.begin(), stage.names.end(),
                                  NameKey(kShareProbeName)) == stage.names.end();
  for (size_t i = 0; i < manifest.files.size(); ++i) {
    const ManifestFile& file = manifest.files[i];
    plan.copyOf.push_back(kNoEntry);
    if (stage.staged[i].whole) {
      plan.files.emplace_back();
      continue;
    }
    std::vector<fs::path> partners = placedHere[file.sha256];
    if (const auto kept = stage.reusable.find(file.sha256); kept != stage.reusable.end()) {
      partners.insert(partners.end(), kept->second.begin(), kept->second.end());
      if (!sharing && !kept->second.empty() && canProbe) {
        sharing =
            CanShareFiles(environment.share, kept->second.front(), stage.folder / kShareProbeName);
      }
    }
    partners.erase(std::remove(partners.begin(), partners.end(), stage.destinations[i]),
                   partners.end());
    if (const auto earlier = lastPlaced.find(file.sha256); earlier != lastPlaced.end()) {
      plan.copyOf.back() = earlier->second;
    }
    FilePlan filePlan = PlanFile(environment.fetch, session, hashing,
                                 {.website = website,
                                  .file = file,
                                  .destination = stage.destinations[i],
                                  .staged = stage.staged[i],
                                  .partners = partners,
                                  .chunked = stage.chunked,
                                  .kept = stage.reusable,
                                  .settings = environment.downloads,
                                  .sharing = sharing.value_or(false)});
    plan.fetch = SaturatingAdd(plan.fetch, filePlan.fetchBytes);
    plan.write = SaturatingAdd(plan.write, filePlan.writeBytes);
    plan.files.push_back(std::move(filePlan));
    std::vector<fs::path>& placed = placedHere[file.sha256];
    placed.insert(placed.begin(), stage.destinations[i]);
    lastPlaced[file.sha256] = i;
  }
  return plan;
}

// What putting a version's files into its staging folder works with.
struct FilePlacement {
  const Manifest& manifest;
  const VersionPlan& plan;
  HttpSession& session;
  const UpdateEnvironment& environment;
  std::function<void(uint64_t done)> report = nullptr;  // the bytes fetched so far
  std::function<void()> waiting = nullptr;              // a download waits for another program
  uint64_t done = 0;
  // The first failure in manifest order decides the sentence, whatever failed first in time.
  size_t failedAt = kNoEntry;
  std::string failure{};

  bool Failed() const { return failedAt != kNoEntry; }

  // Places the entries' files all at once. False when one failed.
  bool Run(const std::vector<size_t>& entries) {
    if (entries.empty()) return true;
    std::vector<FilePlan> plans;
    plans.reserve(entries.size());
    for (const size_t i : entries) plans.push_back(*plan.files[i]);
    const TransferResult placed = RunPlans(
        environment.fetch, session, plans, [&](uint64_t now) { report(SaturatingAdd(done, now)); },
        waiting, environment.downloads, environment.share);
    done = SaturatingAdd(done, placed.counted);
    if (placed.failed == entries.size()) return true;
    const size_t i = entries[placed.failed];
    if (i >= failedAt) return false;
    failedAt = i;
    const ManifestFile& file = manifest.files[i];
    switch (placed.outcome) {
      case FileOutcome::NotFetched:
        failure = "Couldn't download " + file.path + ": " + placed.fetchError;
        break;
      case FileOutcome::NotWritten:
        failure = CouldNotWrite(plans[placed.failed].destination);
        break;
      case FileOutcome::Wrong:
      case FileOutcome::Done:
        failure = file.path + " came out wrong (it didn't match its fingerprint): try again";
        break;
    }
    return false;
  }
};

// Entries are placed in rounds in which no path comes twice and none lies inside another: a
// round's files are placed together, and last come the copies of files the round itself placed.
// So a path named twice still ends with the later entry's file, and a file that stands where
// another needs a folder fails as it did in order.
struct Round {
  std::unordered_set<std::string> names;
  std::unordered_set<std::string> folders;  // every folder the names lie in
  std::unordered_set<size_t> entries;
  std::vector<size_t> now;    // placed together
  std::vector<size_t> later;  // copies of entries of the round
};

// The round's files, then the copies that waited for them. False once anything failed.
bool EndRound(FilePlacement& placement, Round& round) {
  placement.Run(round.now);
  std::vector<size_t> later;
  for (const size_t i : round.later) {
    if (i < placement.failedAt) later.push_back(i);
  }
  placement.Run(later);
  round = Round();
  return !placement.Failed();
}

// Puts every entry of the manifest not staged whole into its destination. False, with the
// sentence in placement.failure, when one could not be placed.
bool PlaceFiles(FilePlacement& placement, const Stage& stage) {
  const Manifest& manifest = placement.manifest;
  Round round;
  for (size_t i = 0; i < manifest.files.size(); ++i) {
    if (!JoinRound(stage.names[i], round.names, round.folders)) {
      if (!EndRound(placement, round)) return false;
      JoinRound(stage.names[i], round.names, round.folders);
    }
    if (!placement.plan.files[i]) continue;
    const size_t source = placement.plan.copyOf[i];
    (source != kNoEntry && round.entries.count(source) != 0 ? round.later : round.now).push_back(i);
    round.entries.insert(i);
  }
  return EndRound(placement, round);
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
    stage.staged.push_back(
        InspectStagedFile(stage.destinations[i], file.size, file.sha256, hashing, downloads));
    if (stage.staged.back().whole) {
      std::vector<fs::path>& sources = stage.reusable[file.sha256];
      sources.insert(sources.begin(), stage.destinations[i]);
    }
  }
  return true;
}

// Shows action's percentage of total on the status line when the shown text changes, not at every
// piece of a file.
void ShowPercent(const ProgressReporter& reporter, const std::string& action, uint64_t now,
                 uint64_t total, std::string& shown) {
  std::string text = action + "... ";
  double fraction = -1.0;
  if (total != 0) {
    text += std::to_string(now * 100 / total) + "%";
    fraction = static_cast<double>(now) / static_cast<double>(total);
  }
  if (text == shown) return;
  shown = text;
  reporter(text, fraction);
}

// Place: the entries place takes up are copied, rebuilt or downloaded, with the fetched bytes
// shown as action's percentage.
bool Place(const Manifest& manifest, const VersionPlan& plan, const std::string& action,
           HttpSession& session, const UpdateEnvironment& environment,
           const ProgressReporter& reporter, const std::function<bool(FilePlacement&)>& place,
           std::string& error) {
  std::string shown;
  FilePlacement placement{
      .manifest = manifest, .plan = plan, .session = session, .environment = environment};
  placement.report = [&](uint64_t now) { ShowPercent(reporter, action, now, plan.fetch, shown); };
  placement.waiting = [&] {
    reporter(kWaitingForFilesStatus, -1.0);
    shown.clear();
  };
  if (place(placement)) return true;
  error = placement.failure;
  return false;
}

// A complete version's damaged files: each one's path in the version, and the file that takes its
// place, built in the version's staging folder. No complete version has one, and the next update
// clears away what an interrupted repair leaves there.
struct Repair {
  fs::path staging;
  std::vector<DamagedFile> damaged;
  std::vector<fs::path> targets{};
  std::vector<fs::path> replacements{};

  bool Targets(const fs::path& path, bool goneOnly) const {
    for (size_t k = 0; k < targets.size(); ++k) {
      if (targets[k] == path && (!goneOnly || damaged[k].found != EntryKind::File)) return true;
    }
    return false;
  }
};

// Plans each damaged file as an update would: copied from an intact file of its fingerprint in a
// kept version (checked as it is copied), rebuilt from the previous version's chunks, or fetched.
// A damaged file is no source, not even of chunks: its stored chunk list no longer says what it
// holds.
VersionPlan PlanRepair(const std::string& website, const Manifest& manifest,
                       const fs::path& versions, const fs::path& folder, const Repair& repair,
                       HttpSession& session, const UpdateEnvironment& environment,
                       Sha256Provider& hashing) {
  const std::vector<KeptVersion> kept = KeptVersions(versions, folder);
  ReusableFiles reusable = IndexByFingerprint(kept);
  // A damaged file is no source of any kind.
  for (auto& [sha256, paths] : reusable) {
    std::erase_if(paths, [&](const fs::path& path) { return repair.Targets(path, false); });
  }
  ChunkedKeptFiles chunked;
  for (const KeptVersion& version : kept) {
    for (const ManifestFile& file : version.manifest.files) {
      const std::optional<fs::path> relative = RelativePath(file.path);
      if (relative && !repair.Targets(version.folder / *relative, false)) {
        AddChunkedKeptFile(chunked, file, version.folder / *relative);
      }
    }
  }
  VersionPlan plan;
  plan.files.resize(manifest.files.size());
  plan.copyOf.assign(manifest.files.size(), kNoEntry);
  const StagedFile nothingStaged;
  std::optional<bool> sharing;  // tried on the first file a kept version holds
  for (size_t k = 0; k < repair.damaged.size(); ++k) {
    const size_t entry = repair.damaged[k].entry;
    const ManifestFile& file = manifest.files[entry];
    std::vector<fs::path> partners = reusable[file.sha256];
    if (!sharing && !partners.empty()) {
      sharing =
          CanShareFiles(environment.share, partners.front(), repair.staging / kShareProbeName);
    }
    FilePlan filePlan = PlanFile(environment.fetch, session, hashing,
                                 {.website = website,
                                  .file = file,
                                  .destination = repair.replacements[k],
                                  .staged = nothingStaged,
                                  .partners = partners,
                                  .chunked = chunked,
                                  .kept = reusable,
                                  .settings = environment.downloads,
                                  .sharing = sharing.value_or(false)});
    plan.fetch = SaturatingAdd(plan.fetch, filePlan.fetchBytes);
    plan.write = SaturatingAdd(plan.write, filePlan.writeBytes);
    plan.files[entry] = std::move(filePlan);
  }
  return plan;
}

// Puts the damaged files back: all placed first, then each renamed over its damaged file, so a stop
// at any moment leaves either file whole at its path.
bool PutBack(const std::string& website, const fs::path& root, const Manifest& manifest,
             const Repair& repair, HttpSession& session, const UpdateEnvironment& environment,
             const ProgressReporter& reporter, Sha256Provider& hashing, UpdateResult& result) {
  const fs::path versions = root / kVersionsFolderName;
  RemovePathTree(repair.staging);
  const VersionPlan plan = PlanRepair(website, manifest, versions, versions / manifest.version,
                                      repair, session, environment, hashing);
  if (!HasRoomFor(root, plan.write, result.error)) return false;
  std::vector<size_t> entries;
  for (const DamagedFile& file : repair.damaged) entries.push_back(file.entry);
  if (!Place(
          manifest, plan, "Repairing Kelvadon", session, environment, reporter,
          [&](FilePlacement& placement) { return placement.Run(entries); }, result.error)) {
    return false;
  }
  if (!FlushStagedFiles(repair.staging)) {
    result.error = CouldNotWrite(repair.staging);
    return false;
  }
  for (size_t k = 0; k < repair.targets.size(); ++k) {
    const fs::path& target = repair.targets[k];
    // A folder or a link where the file belongs goes, and so does a folder the file lies in that
    // went missing comes back.
    if (repair.damaged[k].found != EntryKind::File) RemovePathTree(target);
    std::error_code ec;
    CreateFolders(target.parent_path(), ec);
    if (!RenameReplacing(repair.replacements[k], target, ec)) {
      result.error = StoreFailureText({StoreFailure::NotRenamed, target, ec.value()});
      return false;
    }
    FlushFolderToDisk(target.parent_path());
    ++result.putBack;
  }
  RemovePathTree(repair.staging);
  return true;
}

bool SameFiles(const Manifest& a, const Manifest& b) {
  return std::equal(a.files.begin(), a.files.end(), b.files.begin(), b.files.end(),
                    [](const ManifestFile& x, const ManifestFile& y) {
                      return x.path == y.path && x.sha256 == y.sha256 && x.size == y.size &&
                             x.chunks == y.chunks;
                    });
}

// The manifest the complete version was built from: the one just accepted when the version keeps
// the same bytes, which spares parsing a second one on every start. A manifest published again
// for the version (a rollback is) names the same files in other bytes, and copies that no longer
// load name nothing: either way the accepted pair then takes the copies' place.
Manifest StoredManifest(const fs::path& folder, const std::string& manifestBytes,
                        const std::string& signatureBytes, const Manifest& accepted) {
  if (FileHolds(folder / kManifestFileName, manifestBytes)) return accepted;
  Manifest stored;
  if (LoadInstalledManifest(folder, stored) && !SameFiles(stored, accepted)) return stored;
  ReplaceFileAtomically(folder / kManifestFileName, manifestBytes);
  ReplaceFileAtomically(folder / kSignatureFileName, signatureBytes);
  return accepted;
}

// Checks a complete version's files as check says and puts back those found damaged. False, with
// the sentence in result.error, when one could not be put back.
bool RepairVersion(const std::string& website, const fs::path& root, const Manifest& manifest,
                   FileCheck check, HttpSession& session, const UpdateEnvironment& environment,
                   const ProgressReporter& reporter, UpdateResult& result) {
  const fs::path versions = root / kVersionsFolderName;
  const fs::path folder = versions / manifest.version;
  const Sha256ProviderOwner hashing = OpenSha256Provider();
  std::string shown;
  Repair repair{.staging = versions / (manifest.version + ".partial"),
                .damaged = DamagedFiles(
                    folder, manifest, check, *hashing, [&](uint64_t done, uint64_t total) {
                      ShowPercent(reporter, "Checking Kelvadon's files", done, total, shown);
                    })};
  if (repair.damaged.empty()) return true;
  for (const DamagedFile& file : repair.damaged) {
    const fs::path relative = *RelativePath(manifest.files[file.entry].path);
    repair.targets.push_back(folder / relative);
    repair.replacements.push_back(repair.staging / relative);
  }
  return PutBack(website, root, manifest, repair, session, environment, reporter, *hashing, result);
}

UpdateResult RunUpdate(const std::string& website, const fs::path& root,
                       const ProgressReporter& reporter, HttpSession& session,
                       const UpdateEnvironment& environment, FileCheck check) {
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
    const Manifest stored =
        StoredManifest(finalFolder, manifestBytes, signatureBytes, result.manifest);
    result.ready =
        RepairVersion(website, root, stored, check, session, environment, reporter, result) &&
        Succeeded(MakeCurrent(root, result.version, finalFolder), result);
    return result;
  }

  const fs::path old = CurrentVersionFolder(root);
  const Sha256ProviderOwner hashing = OpenSha256Provider();
  Stage stage;
  if (!StageVersion(manifest, versions, old, environment.downloads, *hashing, stage,
                    result.error)) {
    return result;
  }
  const VersionPlan plan = PlanVersion(website, manifest, stage,
                                       SaturatingAdd(manifestBytes.size(), signatureBytes.size()),
                                       session, environment, *hashing);
  if (!HasRoomFor(root, plan.write, result.error)) return result;
  if (!Place(
          manifest, plan, old.empty() ? "Installing Kelvadon" : "Updating Kelvadon", session,
          environment, reporter,
          [&](FilePlacement& placement) { return PlaceFiles(placement, stage); }, result.error)) {
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
                                const UpdateEnvironment& environment, FileCheck check) {
  HttpSessionOwner own;
  if (environment.session == nullptr) own = OpenHttpSession();
  return RunUpdate(website, root, reporter, environment.session ? *environment.session : *own,
                   environment, check);
}
