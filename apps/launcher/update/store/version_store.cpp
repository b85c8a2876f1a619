#include "update/store/version_store.h"

#include <exception>
#include <system_error>
#include <unordered_set>

#include "common/text.h"
#include "files/disk.h"
#include "update/store/install_lock.h"
#include "update/store/install_root.h"

namespace fs = std::filesystem;

namespace {

// Whether two paths name one entry. Windows stores a folder named "1.0." as "1.0" and ignores
// case, so spellings can differ for one folder; comparing them would remove the version just
// installed or the one kept. Spelling decides only when the entries cannot be compared.
bool SameEntry(const fs::path& a, const fs::path& b) {
  std::error_code ec;
  const bool same = fs::equivalent(a, b, ec);
  if (!ec) return same;
  return a.lexically_normal() == b.lexically_normal();
}

StoreResult Failed(StoreFailure failure, const fs::path& path, int systemError = 0) {
  return {failure, path, systemError};
}

// Removes the entries of Versions that keep does not hold on to. A folder that cannot be removed
// whole (the studio still running from it) must never be taken for a complete version later, so
// its marker goes first. Never through a link to a folder elsewhere.
void RemoveVersions(const fs::path& versions, const std::function<bool(const fs::path&)>& keep,
                    Waiting waiting) {
  std::vector<fs::path> names;
  ListFolder(versions, names);
  for (const fs::path& name : names) {
    const fs::path entry = versions / name;
    if (keep(entry)) continue;
    if (EntryKindOf(entry) == EntryKind::Folder) RemovePathTree(entry / kMarkerFileName, waiting);
    RemovePathTree(entry, waiting);
  }
}

// The entries of the staging folder that the manifest names (files, and the folders they lie in),
// as NameKey spells them.
struct NamedEntries {
  std::unordered_set<std::string> files;
  std::unordered_set<std::string> folders;
};

NamedEntries NamedBy(const std::vector<std::string>& names) {
  NamedEntries named;
  for (const std::string& name : names) {
    named.files.insert(name);
    for (size_t slash = name.find('/'); slash != std::string::npos;
         slash = name.find('/', slash + 1)) {
      named.folders.insert(name.substr(0, slash));
    }
  }
  return named;
}

// Removes from the folder (key: its NameKey under the staging folder, empty for the staging folder
// itself) every entry the manifest does not name as what it is: an interrupted run's staging folder
// is open to anyone, and a file planted there (a DLL that Windows would load beside the player)
// must not become part of the version. Links are removed themselves, never entered.
void RemoveUnnamedEntries(const fs::path& folder, const std::string& key,
                          const NamedEntries& named) {
  std::vector<fs::path> entries;
  ListFolder(folder, entries);
  for (const fs::path& entry : entries) {
    std::string entryKey;
    try {
      entryKey = (key.empty() ? "" : key + "/") + NameKey(entry);
    } catch (const std::exception&) {
      entryKey.clear();  // a name that is no text is no name of the manifest's
    }
    const EntryKind kind = EntryKindOf(folder / entry);
    if (kind == EntryKind::File && named.files.count(entryKey) != 0) continue;
    if (kind == EntryKind::Folder && named.folders.count(entryKey) != 0) {
      RemoveUnnamedEntries(folder / entry, entryKey, named);
      continue;
    }
    RemovePathTree(folder / entry);
  }
}

}  // namespace

std::string NameKey(const fs::path& relative) {
  std::string key = PathToUtf8(relative.lexically_normal());
  for (char& c : key) {
    if (c == '\\') c = '/';
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return key;
}

std::optional<fs::path> RelativePath(const std::string& utf8) {
  try {
    return PathFromUtf8(utf8);
  } catch (const std::exception&) {
    return std::nullopt;
  }
}

std::vector<KeptVersion> KeptVersions(const fs::path& versions, const fs::path& current) {
  std::vector<fs::path> folders;
  if (!current.empty()) folders.push_back(current);
  std::error_code ec;
  for (fs::directory_iterator it(versions, ec), end; !ec && it != end; it.increment(ec)) {
    const fs::path& entry = it->path();
    if (!current.empty() && SameEntry(entry, current)) continue;
    if (EntryKindOf(entry / kMarkerFileName) == EntryKind::Missing) continue;
    folders.push_back(entry);
  }
  std::vector<KeptVersion> kept;
  for (const fs::path& folder : folders) {
    KeptVersion version{folder, {}};
    if (LoadInstalledManifest(folder, version.manifest)) kept.push_back(std::move(version));
  }
  return kept;
}

ReusableFiles IndexByFingerprint(const std::vector<KeptVersion>& kept) {
  ReusableFiles reusable;
  for (const KeptVersion& version : kept) {
    for (const ManifestFile& file : version.manifest.files) {
      if (const std::optional<fs::path> relative = RelativePath(file.path)) {
        reusable[file.sha256].push_back(version.folder / *relative);
      }
    }
  }
  return reusable;
}

StoreResult CommitStaging(const fs::path& staging, const fs::path& finalFolder,
                          std::string_view version, std::string_view manifestBytes,
                          std::string_view signatureBytes) {
  if (!FlushStagedFiles(staging)) return Failed(StoreFailure::NotWritten, staging);
  WriteWholeFile(staging / kManifestFileName, manifestBytes);
  WriteWholeFile(staging / kSignatureFileName, signatureBytes);
  if (!WriteWholeFile(staging / kMarkerFileName, MarkerText(version))) {
    return Failed(StoreFailure::NotWritten, staging / kMarkerFileName);
  }
  // A folder of the final name without a marker is what an interrupted earlier run left.
  RemovePathTree(finalFolder);
  std::error_code ec;
  if (!RenameReplacing(staging, finalFolder, ec)) {
    return Failed(StoreFailure::NotRenamed, finalFolder, ec.value());
  }
  // Without this a power cut could take the folder back to its staging name.
  FlushFolderToDisk(finalFolder.parent_path());
  return {};
}

StoreResult MakeCurrent(const fs::path& root, const std::string& version,
                        const fs::path& finalFolder) {
  const fs::path currentFile = root / kCurrentFileName;
  const std::string text = version + "\n";
  if (!HoldsCompleteVersion(root / kVersionsFolderName, version)) {
    return Failed(StoreFailure::FolderMissing, finalFolder);
  }
  if ((!FileHolds(currentFile, text) && !ReplaceFileAtomically(currentFile, text)) ||
      !SameEntry(CurrentVersionFolder(root), finalFolder)) {
    return Failed(StoreFailure::NotWritten, currentFile);
  }
  return {};
}

void RemoveOtherVersions(const fs::path& versions, const fs::path& keep, const fs::path& previous,
                         Waiting waiting) {
  RemoveVersions(
      versions,
      [&](const fs::path& entry) {
        return SameEntry(entry, keep) || (!previous.empty() && SameEntry(entry, previous));
      },
      waiting);
}

void RemoveInstalledFiles(const fs::path& root, const std::function<void()>& whileWaiting) {
  const InstallRootLock lock(root, whileWaiting);
  const fs::path versions = root / kVersionsFolderName;
  RemoveVersions(
      versions, [](const fs::path&) { return false; }, Waiting::Patient);
  RemovePathTree(versions);
  RemovePathTree(root / kCurrentFileName);
  RemovePathTree(root / kWebsiteFileName);
  RemovePathTree(root / kSequenceFileName);
}

void PrepareStagingFolder(const fs::path& folder, const std::vector<std::string>& names) {
  if (EntryKindOf(folder) != EntryKind::Folder) RemovePathTree(folder);
  std::error_code ec;
  CreateFolders(folder, ec);
  RemoveUnnamedEntries(folder, {}, NamedBy(names));
}
