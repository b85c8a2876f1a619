#pragma once

// The versions in an InstallRoot's Versions folder: which are complete and what they hold, the
// commit of a staged one, the switch to one, and the removal of the others. A marked folder
// counts as complete without being looked into, so the marker is written last and removed first.

#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "files/file_io.h"
#include "update/trust/manifest.h"

// A manifest path as a relative file path; nothing when it is not valid UTF-8 (the manifest's
// path rule does not look at the encoding).
std::optional<std::filesystem::path> RelativePath(const std::string& utf8);

// What two spellings of one manifest path share: Windows ignores case and either slash. Where
// case matters on the disk, two paths that differ only in case just end a round early.
std::string NameKey(const std::filesystem::path& relative);

// Makes the staging folder of a version ready to take its files: anything of that name that is
// no folder (a file, a link) goes, and so does anything in it that names (NameKey of each
// manifest entry) does not name as what it is. An interrupted run's staging folder is open to
// anyone, and a file planted there (a DLL that Windows would load beside the player) must not
// become part of the version. Links are removed themselves, never entered.
void PrepareStagingFolder(const std::filesystem::path& folder,
                          const std::vector<std::string>& names);

// A complete version kept in Versions, with its manifest.
struct KeptVersion {
  std::filesystem::path folder;
  Manifest manifest;
};

// Every complete version in Versions whose manifest loads, current (when not empty) first.
std::vector<KeptVersion> KeptVersions(const std::filesystem::path& versions,
                                      const std::filesystem::path& current);

// Files on disk by fingerprint, best candidate first.
using ReusableFiles = std::unordered_map<std::string, std::vector<std::filesystem::path>>;

// The kept versions' files by fingerprint, in the order of the versions.
ReusableFiles IndexByFingerprint(const std::vector<KeptVersion>& kept);

// What went wrong in a step of the store, for the engine to put into words.
enum class StoreFailure {
  None,
  FolderMissing,  // the version's folder is not there under exactly its name
  NotWritten,     // path could not be written
  NotRenamed,     // the staging folder could not take its final name (systemError says why)
};

struct StoreResult {
  StoreFailure failure = StoreFailure::None;
  std::filesystem::path path;
  int systemError = 0;
};

// Makes a staged version complete: its files pushed to the disk, the copies of its manifest
// (which let a later update reuse its files), then its marker, then the rename of the staging
// folder to finalFolder, replacing a folder of that name an interrupted run left without a marker.
StoreResult CommitStaging(const std::filesystem::path& staging,
                          const std::filesystem::path& finalFolder, std::string_view version,
                          std::string_view manifestBytes, std::string_view signatureBytes);

// Points current.txt at the version. Succeeds only when current.txt then names that complete
// folder. current.txt is not touched unless the folder is there under exactly the version's name:
// written before that, it would name nothing and every start would install the whole client again.
StoreResult MakeCurrent(const std::filesystem::path& root, const std::string& version,
                        const std::filesystem::path& finalFolder);

// Removes every entry of Versions but keep and previous (which may be empty), each version's
// marker first. A listing error ends the listing, and what was listed until then is still removed.
void RemoveOtherVersions(const std::filesystem::path& versions, const std::filesystem::path& keep,
                         const std::filesystem::path& previous, Waiting waiting = Waiting::None);

// Takes the installed client off: Versions, current.txt, website.txt and sequence.txt, under the
// InstallRoot lock (an update still running in another window would otherwise write into what is
// removed here). whileWaiting is called if another launcher holds the lock.
void RemoveInstalledFiles(const std::filesystem::path& root,
                          const std::function<void()>& whileWaiting = {});
