#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <system_error>
#include <vector>

#include "common/system.h"

std::string WithWindowsError(const std::string& message) {
  const unsigned number = static_cast<unsigned>(errno);
  return message + " (Windows error " + std::to_string(number) + ")";
}

// Stand-ins for the Windows folders: the XDG data folder for local application data, and
// folders under it for the Start menu and the desktop, so nothing is ever written elsewhere.
std::filesystem::path KnownFolderPath(KnownFolder folder) {
  std::filesystem::path data;
  if (const char* xdg = std::getenv("XDG_DATA_HOME"); xdg != nullptr && *xdg == '/') {
    data = xdg;
  } else if (const char* home = std::getenv("HOME"); home != nullptr && *home == '/') {
    data = std::filesystem::path(home) / ".local" / "share";
  } else {
    return {};
  }
  switch (folder) {
    case KnownFolder::LocalAppData:
      return data;
    case KnownFolder::Programs:
      return data / "kelvadon-start-menu";
    case KnownFolder::Desktop:
      return data / "kelvadon-desktop";
  }
  return {};
}

std::filesystem::path TemporaryFolder() {
  std::error_code ec;
  std::filesystem::path temp = std::filesystem::temp_directory_path(ec);
  if (ec) return {};
  return temp;
}

std::filesystem::path OwnExecutablePath() {
  std::vector<char> buffer(PATH_MAX + 1);
  const ssize_t length = readlink("/proc/self/exe", buffer.data(), buffer.size());
  if (length <= 0 || static_cast<size_t>(length) >= buffer.size()) return {};
  return std::filesystem::path(std::string(buffer.data(), static_cast<size_t>(length)));
}

std::string SystemErrorText(int code) {
  char buffer[256] = {};
  // The GNU strerror_r may return a static text instead of filling the buffer.
  const char* text = strerror_r(code, buffer, sizeof buffer);
  if (text == nullptr || *text == '\0') return "error " + std::to_string(code);
  return text;
}

std::filesystem::path FileSystemPath(const std::filesystem::path& path) { return path; }
