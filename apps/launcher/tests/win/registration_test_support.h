#pragma once

// What the Windows tests of registration, shortcuts and uninstall share: the registry keys and
// shortcut files they look at, spelled out here rather than taken from the code under test, and
// ways to read them back and to clear them before a group starts.

#include <windows.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "common/system.h"

namespace kelvadon_test {

inline const wchar_t* const kSchemeKey = L"Software\\Classes\\kelvadon";
inline const wchar_t* const kUninstallEntryKey =
    L"Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Kelvadon";
// Every key registration writes values into, and the ones the uninstall removes whole.
inline const std::vector<std::wstring> kRemovedKeys = {
    L"Software\\Classes\\kelvadon", kUninstallEntryKey,
    L"Software\\Classes\\.kelvlvl", L"Software\\Classes\\Kelvadon.Place",
    L"Software\\Classes\\.kelvm",   L"Software\\Classes\\Kelvadon.Model",
};

struct RegistryValue {
  bool found = false;
  DWORD type = REG_NONE;
  std::vector<BYTE> data;  // as stored, with no terminating null added
};

// Reads one value of a key under HKEY_CURRENT_USER exactly as stored; name null: the default.
inline RegistryValue ReadValue(const std::wstring& key, const wchar_t* name) {
  RegistryValue value;
  HKEY handle = nullptr;
  if (RegOpenKeyExW(HKEY_CURRENT_USER, key.c_str(), 0, KEY_READ, &handle) != ERROR_SUCCESS) {
    return value;
  }
  DWORD size = 0;
  if (RegQueryValueExW(handle, name, nullptr, &value.type, nullptr, &size) == ERROR_SUCCESS) {
    value.data.resize(size);
    value.found = RegQueryValueExW(handle, name, nullptr, &value.type, value.data.data(), &size) ==
                  ERROR_SUCCESS;
    value.data.resize(size);
  }
  RegCloseKey(handle);
  return value;
}

// The bytes a REG_SZ value holds for text: two per character and two for the terminating null.
inline std::vector<BYTE> TextBytes(const std::wstring& text) {
  const auto* begin = reinterpret_cast<const BYTE*>(text.c_str());
  return std::vector<BYTE>(begin, begin + (text.size() + 1) * sizeof(wchar_t));
}

inline std::vector<BYTE> NumberBytes(DWORD number) {
  const auto* begin = reinterpret_cast<const BYTE*>(&number);
  return std::vector<BYTE>(begin, begin + sizeof(number));
}

// How many values the key holds; -1 when it does not exist.
inline int ValueCount(const std::wstring& key) {
  HKEY handle = nullptr;
  if (RegOpenKeyExW(HKEY_CURRENT_USER, key.c_str(), 0, KEY_READ, &handle) != ERROR_SUCCESS) {
    return -1;
  }
  DWORD values = 0;
  const LSTATUS status = RegQueryInfoKeyW(handle, nullptr, nullptr, nullptr, nullptr, nullptr,
                                          nullptr, &values, nullptr, nullptr, nullptr, nullptr);
  RegCloseKey(handle);
  return status == ERROR_SUCCESS ? static_cast<int>(values) : -1;
}

inline bool KeyExists(const std::wstring& key) { return ValueCount(key) >= 0; }

inline void WriteValue(const std::wstring& key, const wchar_t* name, DWORD type,
                       const std::vector<BYTE>& data) {
  HKEY handle = nullptr;
  if (RegCreateKeyExW(HKEY_CURRENT_USER, key.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr, &handle,
                      nullptr) != ERROR_SUCCESS) {
    return;
  }
  RegSetValueExW(handle, name, 0, type, data.data(), static_cast<DWORD>(data.size()));
  RegCloseKey(handle);
}

inline std::filesystem::path StartMenuFolder() {
  return KnownFolderPath(KnownFolder::Programs) / L"Kelvadon";
}
inline std::filesystem::path DesktopLink() {
  return KnownFolderPath(KnownFolder::Desktop) / L"Kelvadon Studio.lnk";
}

// Every key, link and folder the launcher registers, gone, so a group starts from a profile that
// never had the launcher.
inline void ClearRegistration() {
  for (const std::wstring& key : kRemovedKeys) RegDeleteTreeW(HKEY_CURRENT_USER, key.c_str());
  std::error_code ignored;
  std::filesystem::remove_all(StartMenuFolder(), ignored);
  std::filesystem::remove(DesktopLink(), ignored);
}

inline void PutFile(const std::filesystem::path& path, const std::string& bytes) {
  std::filesystem::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary) << bytes;
}

inline std::string FileBytes(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

}  // namespace kelvadon_test
