#include <windows.h>

#include <knownfolders.h>
#include <shlobj.h>

#include <system_error>
#include <vector>

#include "common/system.h"
#include "common/text.h"

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

std::string SystemErrorText(int code) {
  const std::string fallback = "Windows error " + std::to_string(static_cast<unsigned>(code));
  wchar_t* buffer = nullptr;
  const DWORD length = FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, static_cast<DWORD>(code), 0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
  std::wstring wide;
  if (length != 0 && buffer != nullptr) wide.assign(buffer, length);
  LocalFree(buffer);
  // Descriptions end with a line end (and some with a space before it), which would break the
  // sentence they are put into.
  while (!wide.empty() && (wide.back() == L'\n' || wide.back() == L'\r' || wide.back() == L' ')) {
    wide.pop_back();
  }
  if (wide.empty()) return fallback;
  try {
    return WideToUtf8(wide);
  } catch (const std::system_error&) {
    return fallback;
  }
}

std::filesystem::path FileSystemPath(const std::filesystem::path& path) {
  const std::wstring& native = path.native();
  if (native.empty() || native.rfind(L"\\\\?\\", 0) == 0 || native.rfind(L"\\\\.\\", 0) == 0) {
    return path;
  }
  // GetFullPathNameW makes the path full, turns '/' into '\' and takes out "." and "..", none of
  // which the "\\?\" form does for itself.
  const DWORD needed = GetFullPathNameW(native.c_str(), 0, nullptr, nullptr);
  if (needed == 0) return path;
  std::wstring full(needed, L'\0');
  const DWORD length = GetFullPathNameW(native.c_str(), needed, full.data(), nullptr);
  if (length == 0 || length >= needed) return path;
  full.resize(length);
  if (full.rfind(L"\\\\", 0) == 0) return std::filesystem::path(L"\\\\?\\UNC\\" + full.substr(2));
  return std::filesystem::path(L"\\\\?\\" + full);
}
