#include "update/store/install_root.h"

#include <vector>

#include "common/system.h"
#include "files/disk.h"
#include "files/file_io.h"
#include "update/trust/manifest.h"
#include "update/trust/names.h"

namespace fs = std::filesystem;

fs::path GetInstallRoot() {
  fs::path base = KnownFolderPath(KnownFolder::LocalAppData);
  if (base.empty()) base = TemporaryFolder();
  if (base.empty()) return {};
  return base / "Kelvadon";
}

std::string MarkerText(std::string_view versionName) {
  std::string text = "Kelvadon ";
  text += versionName;
  text +=
      ", installed by KelvadonLauncher.exe.\r\n"
      "Your own files (logins, settings, saves, places) are in the folder two up from here.\r\n";
  return text;
}

fs::path CurrentVersionFolder(const fs::path& root) {
  std::string name;
  if (!ReadWholeFile(root / kCurrentFileName, name)) return {};
  // Only the end is trimmed: a leading space means someone else wrote the file, and the name is
  // then refused rather than guessed at.
  while (!name.empty()) {
    const char last = name.back();
    if (last != ' ' && last != '\t' && last != '\n' && last != '\v' && last != '\f' &&
        last != '\r') {
      break;
    }
    name.pop_back();
  }
  // The name check is what keeps the folder inside Versions: a valid name holds no separator
  // and cannot be "." or "..".
  if (!IsValidVersionName(name)) return {};
  fs::path folder = root / kVersionsFolderName / name;
  if (EntryKindOf(folder / kMarkerFileName) == EntryKind::Missing) return {};
  return folder;
}

bool HoldsCompleteVersion(const fs::path& versions, const std::string& version) {
  std::vector<fs::path> names;
  ListFolder(versions, names);
  const fs::path wanted(version);
  for (const fs::path& name : names) {
    if (name.native() == wanted.native()) {
      return EntryKindOf(versions / name) == EntryKind::Folder &&
             EntryKindOf(versions / name / kMarkerFileName) != EntryKind::Missing;
    }
  }
  return false;
}

bool LoadInstalledManifest(const std::filesystem::path& versionFolder, Manifest& manifest) {
  std::string manifestBytes;
  std::string signatureBytes;
  bool manifestWhole = false;
  bool signatureWhole = false;
  if (!ReadWholeFile(versionFolder / kManifestFileName, manifestBytes, &manifestWhole) ||
      !ReadWholeFile(versionFolder / kSignatureFileName, signatureBytes, &signatureWhole) ||
      !manifestWhole || !signatureWhole) {
    return false;
  }
  std::string error;
  return ParseManifest(manifestBytes, signatureBytes, manifest, error);
}
