#include <windows.h>

#include <knownfolders.h>
#include <shlobj.h>

#include <vector>

#include "common/system.h"

std::string WithWindowsError(const std::string& message) {
  const DWORD code = GetLastError();
  return message + " (Windows error " + std::to_string(static_cast<unsigned long>(code)) + ")";
}

std::filesystem::path KnownFolderPath(KnownFolder folder) {
  const KNOWNFOLDERID* id = &FOLDERID_LocalAppData;
  if (folder == KnownFolder::Programs) id = &FOLDERID_Programs;
  if (folder == KnownFolder::Desktop) id = &FOLDERID_Desktop;
  PWSTR buffer = nullptr;
  const HRESULT hr = SHGetKnownFolderPath(*id, 0, nullptr, &buffer);
  std::filesystem::path result;
  if (SUCCEEDED(hr) && buffer != nullptr) result = buffer;
  // The buffer is the caller's to free whether the call succeeded or not.
  CoTaskMemFree(buffer);
  return result;
}

std::filesystem::path TemporaryFolder() {
  wchar_t buffer[MAX_PATH + 2] = {};
  const DWORD length = GetTempPathW(MAX_PATH + 1, buffer);
  if (length == 0 || length > MAX_PATH + 1) return {};
  return std::filesystem::path(std::wstring(buffer, length));
}

std::filesystem::path OwnExecutablePath() {
  std::vector<wchar_t> buffer(1040);
  const DWORD size = static_cast<DWORD>(buffer.size());
  const DWORD length = GetModuleFileNameW(nullptr, buffer.data(), size);
  // A path that fills the whole buffer was cut short; a cut setup file name could read as
  // another website, so it counts as no path at all.
  if (length == 0 || length >= size) return {};
  return std::filesystem::path(std::wstring(buffer.data(), length));
}
