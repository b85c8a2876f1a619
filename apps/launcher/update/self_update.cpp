#include "update/self_update.h"

#include <cstdint>
#include <optional>
#include <system_error>

#include "common/system.h"
#include "files/file_io.h"
#include "net/stamp.h"
#include "update/store/install_lock.h"
#include "update/store/install_root.h"
#include "update/transfer/executor.h"
#include "update/transfer/transfer.h"
#include "update/trust/crypto.h"

namespace fs = std::filesystem;

namespace {

constexpr char kLauncherWrong[] = "The new launcher came out wrong";

// The running launcher as built: its file without the stamp a setup program carries (a signed
// one's two grown length fields given back). Nothing when the file cannot be read or is empty.
std::optional<FileExcerpt> OwnCleanImage(const fs::path& ownImagePath) {
  std::string tail;
  uint64_t size = 0;
  if (ownImagePath.empty() || !ReadFileTail(ownImagePath, kStampTailLength, tail, size) ||
      size == 0) {
    return std::nullopt;
  }
  const CleanImage clean =
      DescribeCleanImage(size, tail, [&ownImagePath](uint64_t offset, size_t length) {
        return ReadFilePart(ownImagePath, offset, length);
      });
  return FileExcerpt{clean.length, clean.patches};
}

uint64_t FileSizeOrZero(const fs::path& path) {
  std::string none;
  uint64_t size = 0;
  return ReadFileTail(path, 0, none, size) ? size : 0;
}

bool UpdateCopy(const fs::path& root, const std::string& website, bool rememberWebsite,
                const Manifest& manifest, std::string& error, HttpSession& session,
                const HttpFetcher& fetch, const fs::path& ownImagePath) {
  const fs::path installed = root / kLauncherFileName;
  const fs::path aside = root / kOldLauncherFileName;
  const fs::path replacement = ReplacementPath(installed);
  std::error_code ec;
  CreateFolders(root, ec);
  const InstallRootLock lock(root);

  // The installed copy carries no stamp and learns its website from this file.
  if (rememberWebsite && !website.empty()) {
    const std::string text = website + "\n";
    const fs::path websiteFile = root / kWebsiteFileName;
    if (!FileHolds(websiteFile, text)) ReplaceFileAtomically(websiteFile, text);
  }
  RemovePathTree(aside, Waiting::None);

  const Sha256ProviderOwner hashing = OpenSha256Provider();
  std::optional<FileExcerpt> clean = OwnCleanImage(ownImagePath);
  std::string cleanHash;
  if (clean) cleanHash = HashFileExcerpt(ownImagePath, *hashing, *clean);
  if (cleanHash.empty()) clean.reset();

  const ManifestFile& launcher = manifest.launcher;
  // The released launcher already installed is the usual case once the first update is done:
  // nothing is fetched and nothing written.
  if (!launcher.path.empty() && (!clean || cleanHash != launcher.sha256) &&
      FileSizeOrZero(installed) == launcher.size &&
      HashFileExcerpt(installed, *hashing) == launcher.sha256) {
    return true;
  }
  bool downloaded = false;
  if (!launcher.path.empty() && (!clean || cleanHash != launcher.sha256)) {
    const TransferResult placed = RunPlans(
        fetch, session,
        {WholeDownload(website + "/client/files/" + launcher.sha256, launcher.sha256, launcher.size,
                       replacement)},
        [](uint64_t) {}, [] {});
    if (placed.outcome == FileOutcome::NotWritten) {
      error = "Couldn't write " + PathForMessage(installed);
      return false;
    }
    downloaded = placed.outcome == FileOutcome::Done;
    if (!downloaded) {
      error = placed.outcome == FileOutcome::NotFetched ? placed.fetchError : kLauncherWrong;
    }
  }
  // Nothing good to install (the own file could not be read): the installed copy, whatever it
  // holds, is better than an empty one.
  if (!downloaded && !clean) return true;

  const std::string& wantedHash = downloaded ? launcher.sha256 : cleanHash;
  const uint64_t wantedSize = downloaded ? FileSizeOrZero(replacement) : clean->length;
  // A copy of another size differs without being read.
  if (FileSizeOrZero(installed) == wantedSize &&
      HashFileExcerpt(installed, *hashing) == wantedHash) {
    if (downloaded) RemovePathTree(replacement);
    return true;
  }
  if (!downloaded) {
    if (CopyFileChecked(ownImagePath, *clean, replacement, cleanHash, *hashing) !=
        CopyOutcome::Done) {
      error = "Couldn't write " + PathForMessage(installed);
      return false;
    }
  }
  if (!FlushStagedFiles(root) || !CommitReplacement(installed, aside)) {
    error = "Couldn't write " + PathForMessage(installed);
    return false;
  }
  return true;
}

}  // namespace

bool UpdateLauncherCopy(const fs::path& root, const std::string& website, const Manifest& manifest,
                        bool rememberWebsite, const UpdateEnvironment& environment,
                        std::string& error) {
  HttpSessionOwner own;
  if (environment.session == nullptr) own = OpenHttpSession();
  const PatienceScope patience(environment.patience, nullptr);
  return UpdateCopy(root, website, rememberWebsite, manifest, error,
                    environment.session ? *environment.session : *own, environment.fetch,
                    environment.ownImage);
}
