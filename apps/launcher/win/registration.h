#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <string_view>

// Registers the kelvadon: links, the document types, the uninstall entry and the shortcuts for
// the launcher copy at launcherPath, writing the whole set again on every call. Reports nothing.
// A website or version name that is not valid UTF-8 ends the registration where it is needed;
// what was written before stays.
void RegisterWithWindows(const std::filesystem::path& installRoot,
                         const std::filesystem::path& launcherPath, const std::string& website,
                         const std::string& versionName);

// The same, with the shell's "associations changed" notification replaced: Windows offers no
// way to observe that notification, so tests count the calls instead.
void RegisterWithWindowsNotifying(const std::filesystem::path& installRoot,
                                  const std::filesystem::path& launcherPath,
                                  const std::string& website, const std::string& versionName,
                                  const std::function<void()>& notifyAssociationsChanged);

// Total size of the regular files below the folder, links to folders not followed. A listing
// that fails ends the walk with the sum so far; a folder that cannot be opened gives 0.
uint64_t InstalledSizeBytes(const std::filesystem::path& folder);

// The "EstimatedSize" of the uninstall entry: whole kilobytes plus one, so never 0, and the
// largest 32-bit value for anything beyond it rather than a size that wrapped round.
uint32_t EstimatedSizeKilobytes(uint64_t bytes);

// The registry keys under HKEY_CURRENT_USER that registration writes and the uninstall removes.
struct DocumentType {
  std::wstring_view extension;
  std::wstring_view identifier;
  std::wstring_view description;
};
inline constexpr DocumentType kDocumentTypes[] = {
    {L".kelvlvl", L"Kelvadon.Place", L"Kelvadon place"},
    {L".kelvm", L"Kelvadon.Model", L"Kelvadon model"},
};
inline constexpr std::wstring_view kUrlScheme = L"kelvadon";
inline constexpr std::wstring_view kUninstallKey =
    L"Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Kelvadon";

// The key of a URL scheme, an extension or a programmatic identifier.
inline std::wstring ClassKey(std::wstring_view name) {
  return std::wstring(L"Software\\Classes\\").append(name);
}
