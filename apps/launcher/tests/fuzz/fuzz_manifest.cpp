#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "update/trust/freshness.h"
#include "update/trust/manifest.h"

// The manifest checks that follow a good signature. Besides crashes, hangs and undefined
// behaviour, checks what the update engine relies on: a parsed manifest obeys every rule, and a
// refusal gives one of the reasons in the fixed wording.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  Manifest manifest;
  std::string error;
  if (ParseManifestContent(text, manifest, error)) {
    if (manifest.version.empty() || manifest.files.empty()) std::abort();
    for (const ManifestFile& file : manifest.files) {
      if (!IsValidManifestPath(file.path) || !IsValidFingerprint(file.sha256)) std::abort();
    }
    if (!manifest.launcher.path.empty() && (!IsValidManifestPath(manifest.launcher.path) ||
                                            !IsValidFingerprint(manifest.launcher.sha256))) {
      std::abort();
    }
    if (manifest.sequence && *manifest.sequence > kLargestSequence) std::abort();
    // The publisher writes an expiry back in the one form; it must read as the same time.
    int64_t again = -1;
    if (manifest.expires &&
        (!ParseUtcTime(FormatUtcTime(*manifest.expires), again) || again != *manifest.expires)) {
      std::abort();
    }
  } else {
    const std::string_view prefix = "The update's list of files doesn't make sense (";
    if (!error.starts_with(prefix) || !error.ends_with(")")) std::abort();
  }
  return 0;
}
