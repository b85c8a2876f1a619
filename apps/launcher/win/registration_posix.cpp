#include <system_error>

#include "win/registration.h"

// Linux has no registry, file associations or uninstall list; this stand-in does nothing.
void RegisterWithWindows(const std::filesystem::path& /*installRoot*/,
                         const std::filesystem::path& /*launcherPath*/,
                         const std::string& /*website*/, const std::string& /*versionName*/) {}

// Linux has no registry to write or shell to notify; this stand-in does nothing.
void RegisterWithWindowsNotifying(const std::filesystem::path& /*installRoot*/,
                                  const std::filesystem::path& /*launcherPath*/,
                                  const std::string& /*website*/,
                                  const std::string& /*versionName*/,
                                  const std::function<void()>& /*notifyAssociationsChanged*/) {}

uint64_t InstalledSizeBytes(const std::filesystem::path& folder) {
  namespace fs = std::filesystem;
  uint64_t total = 0;
  std::error_code ec;
  // The iterator does not descend into links to folders unless asked to.
  for (fs::recursive_directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
    std::error_code entryError;
    if (!it->is_regular_file(entryError)) continue;
    const uintmax_t size = it->file_size(entryError);
    if (!entryError) total += size;
  }
  return total;
}
