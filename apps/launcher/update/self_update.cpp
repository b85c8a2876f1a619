#include "update/self_update.h"

#include <optional>
#include <system_error>
#include <utility>

#include "common/system.h"
#include "net/website.h"
#include "update/crypto.h"
#include "update/disk_steps.h"
#include "update/install_lock.h"
#include "update/layout.h"

namespace fs = std::filesystem;

namespace {

// The running launcher as built: its whole file without the stamp a setup program carries.
// Empty when the file cannot be read whole.
std::string OwnCleanImage(const fs::path& ownImagePath) {
  std::string image;
  bool whole = false;
  if (ownImagePath.empty() || !ReadWholeFile(ownImagePath, image, &whole) || !whole) return {};
  return CleanImageOf(image);
}

}  // namespace

bool UpdateLauncherCopy(const fs::path& root, const std::string& website, const Manifest& manifest,
                        std::string& error) {
  return UpdateLauncherCopy(root, website, manifest, error, HttpGet, OwnExecutablePath());
}

bool UpdateLauncherCopy(const fs::path& root, const std::string& website, const Manifest& manifest,
                        std::string& error, const HttpFetcher& fetch,
                        const fs::path& ownImagePath) {
  const fs::path installed = root / kLauncherFileName;
  const fs::path aside = root / kOldLauncherFileName;
  std::error_code ec;
  CreateFolders(root, ec);
  const InstallRootLock lock(root);

  // The installed copy carries no stamp and learns its website from this file.
  if (!website.empty()) ReplaceFileAtomically(root / kWebsiteFileName, website + "\n");
  BeforeDiskStep();
  RemovePathTree(aside, Waiting::None);

  const std::string clean = OwnCleanImage(ownImagePath);
  const ManifestFile& launcher = manifest.launcher;
  std::string wanted;
  if (launcher.path.empty() || (!clean.empty() && Sha256Hex(clean) == launcher.sha256)) {
    wanted = clean;
  } else {
    std::string body;
    bool responded = false;
    BeforeDiskStep();
    if (fetch(website + "/client/files/" + launcher.sha256, body, error, responded, launcher.size,
              DownloadProgress()) &&
        Sha256Hex(body) == launcher.sha256) {
      wanted = std::move(body);
    } else {
      if (error.empty()) error = "The new launcher came out wrong";
      wanted = clean;
    }
  }
  // Nothing good to install (the own file could not be read): the installed copy, whatever it
  // holds, is better than an empty one.
  if (wanted.empty()) return true;

  std::string current;
  bool whole = false;
  if (ReadWholeFile(installed, current, &whole) && whole && current == wanted) return true;
  if (!ReplaceFileAtomically(installed, wanted, aside)) {
    error = "Couldn't write " + PathForMessage(installed);
    return false;
  }
  return true;
}
