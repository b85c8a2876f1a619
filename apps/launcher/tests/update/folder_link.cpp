#include "tests/update/folder_link.h"

#include <system_error>

#ifdef _WIN32
#include <windows.h>

#include <winioctl.h>

#include <vector>

#include "common/windows_handles.h"

namespace {

using UnixName = char*(CDECL*)(const wchar_t*);

UnixName WineUnixName() {
  return reinterpret_cast<UnixName>(reinterpret_cast<void*>(
      GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name")));
}

std::wstring Quoted(const char* text) {
  std::wstring quoted = L" \"";
  for (const char* c = text; *c != 0; ++c) quoted += static_cast<wchar_t>(*c);
  return quoted + L"\"";
}

// Runs a program of the host through Wine's "start /unix", which does not wait for it: the
// caller waits for its effect.
bool RunOnHost(std::wstring command) {
  command = L"start.exe /unix " + command;
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  UniqueProcessInformation started;
  if (!CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr,
                      nullptr, &startup, started.Put())) {
    return false;
  }
  WaitForSingleObject(started.Process(), 10000);
  return true;
}

// Waits up to ten seconds until the entry exists (or, with gone, no longer does).
bool AwaitEntry(const std::filesystem::path& path, bool gone) {
  for (int i = 0; i < 200; ++i) {
    if ((GetFileAttributesW(path.c_str()) == INVALID_FILE_ATTRIBUTES) == gone) return true;
    Sleep(50);
  }
  return false;
}

// Wine (8.0) cannot set a reparse point, but shows a symbolic link of the host's file system as
// a folder with FILE_ATTRIBUTE_REPARSE_POINT; the host's ln makes one.
bool MakeWineHostLink(const std::filesystem::path& link, const std::filesystem::path& target) {
  const UnixName unixName = WineUnixName();
  if (unixName == nullptr) return false;
  const char* unixTarget = unixName(std::filesystem::absolute(target).c_str());
  const char* unixLink = unixName(std::filesystem::absolute(link).c_str());
  if (unixTarget == nullptr || unixLink == nullptr) return false;
  if (!RunOnHost(L"/bin/ln -s" + Quoted(unixTarget) + Quoted(unixLink))) return false;
  return AwaitEntry(link, false) &&
         (GetFileAttributesW(link.c_str()) & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}

}  // namespace

bool LinksCanBeRemoved() {
  return GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version") == nullptr;
}

void RemoveFolderLink(const std::filesystem::path& link) {
  if (RemoveDirectoryW(link.c_str()) ||
      GetFileAttributesW(link.c_str()) == INVALID_FILE_ATTRIBUTES) {
    return;
  }
  const UnixName unixName = WineUnixName();
  const char* unixLink =
      unixName == nullptr ? nullptr : unixName(std::filesystem::absolute(link).c_str());
  if (unixLink != nullptr && RunOnHost(L"/bin/rm" + Quoted(unixLink))) AwaitEntry(link, true);
}

bool MakeFolderLink(const std::filesystem::path& link, const std::filesystem::path& target,
                    std::string& error) {
  const std::wstring full = std::filesystem::absolute(target).native();
  const std::wstring substitute = L"\\??\\" + full;
  // The mount-point form of REPARSE_DATA_BUFFER, which the user-mode headers leave out: tag,
  // data length, a reserved word, four offsets and lengths in bytes, then both names, each
  // followed by a null.
  const size_t namesBytes = (substitute.size() + 1 + full.size() + 1) * sizeof(wchar_t);
  std::vector<unsigned char> buffer(8 + 8 + namesBytes, 0);
  const auto put16 = [&](size_t at, size_t value) {
    buffer[at] = static_cast<unsigned char>(value & 0xFF);
    buffer[at + 1] = static_cast<unsigned char>((value >> 8) & 0xFF);
  };
  const DWORD tag = IO_REPARSE_TAG_MOUNT_POINT;
  memcpy(buffer.data(), &tag, sizeof tag);
  put16(4, 8 + namesBytes);
  put16(8, 0);
  put16(10, substitute.size() * sizeof(wchar_t));
  put16(12, (substitute.size() + 1) * sizeof(wchar_t));
  put16(14, full.size() * sizeof(wchar_t));
  memcpy(buffer.data() + 16, substitute.c_str(), (substitute.size() + 1) * sizeof(wchar_t));
  memcpy(buffer.data() + 16 + (substitute.size() + 1) * sizeof(wchar_t), full.c_str(),
         (full.size() + 1) * sizeof(wchar_t));

  if (!CreateDirectoryW(link.c_str(), nullptr)) {
    error = "CreateDirectoryW failed: " + std::to_string(GetLastError());
    return false;
  }
  UniqueFile folder(CreateFileW(link.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT,
                                nullptr));
  DWORD returned = 0;
  if (folder &&
      DeviceIoControl(folder.Get(), FSCTL_SET_REPARSE_POINT, buffer.data(),
                      static_cast<DWORD>(buffer.size()), nullptr, 0, &returned, nullptr)) {
    return true;
  }
  const DWORD refusal = GetLastError();
  folder.Reset();
  RemoveDirectoryW(link.c_str());
  if (refusal == ERROR_NOT_SUPPORTED && MakeWineHostLink(link, target)) return true;
  error = "FSCTL_SET_REPARSE_POINT failed: " + std::to_string(refusal);
  return false;
}

#else

bool LinksCanBeRemoved() { return true; }

void RemoveFolderLink(const std::filesystem::path& link) {
  std::error_code ec;
  std::filesystem::remove(link, ec);
}

bool MakeFolderLink(const std::filesystem::path& link, const std::filesystem::path& target,
                    std::string& error) {
  std::error_code ec;
  std::filesystem::create_directory_symlink(target, link, ec);
  if (ec) error = ec.message();
  return !ec;
}

#endif
