#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>

#include "common/types.h"
#include "update/environment.h"
#include "update/store/version_check.h"
#include "update/trust/manifest.h"

struct UpdateResult {
  bool reached = false;  // the last manifest request made got an answer, whatever its status
  bool ready = false;    // the manifest's version is complete on disk and current.txt names it
  std::string version;   // set once the manifest has been accepted
  std::string error;     // a sentence for the user when ready is false
  Manifest manifest;     // the accepted manifest
  size_t putBack = 0;    // files of a complete version found damaged and put back
};

// Brings the InstallRoot up to date with the website's signed manifest: switches back to a
// version that is already complete on disk, or builds the new one in "Versions\<version>.partial"
// (files taken from the kept versions by fingerprint after a fresh check, the rest downloaded,
// each fingerprint once), marks it complete, moves it into place, points current.txt at it and
// removes every other entry of Versions but the version that was current before. A manifest older
// than one already accepted here, or expired by clock, is refused before anything on disk changes.
// A version already complete has its files checked as check says first, and any found damaged
// are put back as an update places them, each renamed over the damaged one; a repair that cannot
// finish fails as an update does, and the version that was current stays current.
// Reports progress through reporter, which must be callable. Waits while another launcher works
// on the same InstallRoot. Works with what environment gives (update/environment.h).
UpdateResult UpdateInstallation(const std::string& website, const std::filesystem::path& root,
                                const ProgressReporter& reporter,
                                const UpdateEnvironment& environment,
                                FileCheck check = FileCheck::Sizes);
