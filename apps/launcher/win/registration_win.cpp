#include <windows.h>

#include <shlobj.h>

#include <system_error>

#include "common/system.h"
#include "common/text.h"
#include "common/windows_handles.h"
#include "update/store/install_root.h"
#include "win/registration.h"
#include "win/shortcuts.h"

namespace fs = std::filesystem;

namespace {

// Creates the key and its missing parents, or opens it; no owner when that fails.
UniqueRegistryKey CreateKey(const std::wstring& path) {
  HKEY key = nullptr;
  if (RegCreateKeyExW(HKEY_CURRENT_USER, path.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr, &key,
                      nullptr) != ERROR_SUCCESS) {
    return {};
  }
  return UniqueRegistryKey(key);
}

// name null: the key's default value. The size counts the terminating null.
void SetText(const UniqueRegistryKey& key, const wchar_t* name, const std::wstring& text) {
  const DWORD bytes = static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t));
  RegSetValueExW(key.Get(), name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()), bytes);
}

void SetNumber(const UniqueRegistryKey& key, const wchar_t* name, DWORD number) {
  RegSetValueExW(key.Get(), name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&number),
                 sizeof(number));
}

// A key that cannot be created is skipped with its value.
void WriteDefault(const std::wstring& path, const std::wstring& text) {
  if (const UniqueRegistryKey key = CreateKey(path)) SetText(key, nullptr, text);
}

// True unless the value (name null: the key's default) is a plain string equal to text. Anything
// else (missing, another type, longer than the buffer) counts as different.
bool TextDiffers(const std::wstring& path, const wchar_t* name, const std::wstring& text) {
  wchar_t buffer[1025] = {};  // one unit past the 2048 bytes offered, so the text always ends
  DWORD size = 2048;
  // Without RRF_NOEXPAND an expandable string would be expanded and then pass as a plain one.
  if (RegGetValueW(HKEY_CURRENT_USER, path.c_str(), name, RRF_RT_REG_SZ | RRF_NOEXPAND, nullptr,
                   buffer, &size) != ERROR_SUCCESS) {
    return true;
  }
  return text != buffer;
}

// A changed icon has to be written and announced again.
bool IconDiffers(const std::wstring& path, const std::wstring& icon) {
  return TextDiffers(path, nullptr, icon);
}

bool HasNumber(const std::wstring& path, const wchar_t* name) {
  DWORD number = 0;
  DWORD size = sizeof number;
  return RegGetValueW(HKEY_CURRENT_USER, path.c_str(), name, RRF_RT_REG_DWORD, nullptr, &number,
                      &size) == ERROR_SUCCESS;
}

// Adds the sizes of the files below folder to total. False when a listing failed, which ends the
// whole walk.
bool AddFolderSizes(const std::wstring& folder, uint64_t& total) {
  WIN32_FIND_DATAW data;
  const UniqueFind find(FindFirstFileExW((folder + L"\\*").c_str(), FindExInfoBasic, &data,
                                         FindExSearchNameMatch, nullptr, 0));
  if (!find) return false;
  do {
    const std::wstring_view name = data.cFileName;
    if (name == L"." || name == L"..") continue;
    const std::wstring path = folder + L"\\" + data.cFileName;
    const bool link = (data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
    if ((data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
      // A junction or folder link may lead anywhere, even back up this tree.
      if (!link && !AddFolderSizes(path, total)) return false;
    } else if (!link) {
      total += (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
    } else {
      // A link to a file counts with the size of the file it leads to.
      const UniqueFile file(CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES,
                                        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                        nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
      BY_HANDLE_FILE_INFORMATION info;
      LARGE_INTEGER size;
      if (file && GetFileInformationByHandle(file.Get(), &info) &&
          (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0 &&
          GetFileSizeEx(file.Get(), &size)) {
        total += static_cast<uint64_t>(size.QuadPart);
      }
    }
  } while (FindNextFileW(find.Get(), &data));
  return GetLastError() == ERROR_NO_MORE_FILES;
}

void NotifyAssociationsChanged() {
  SHChangeNotify(SHCNE_ASSOCCHANGED, SHCNF_IDLIST, nullptr, nullptr);
}

void Register(const fs::path& installRoot, const fs::path& launcherPath, const std::string& website,
              const std::string& versionName, const std::function<void()>& notify) {
  const std::wstring quotedLauncher = L"\"" + launcherPath.native() + L"\"";
  const std::wstring openCommand = quotedLauncher + L" \"%1\"";
  const std::wstring launcherIcon = quotedLauncher + L",0";

  const std::wstring scheme = ClassKey(kUrlScheme);
  if (const UniqueRegistryKey key = CreateKey(scheme)) {
    SetText(key, nullptr, L"URL:Kelvadon");
    SetText(key, L"URL Protocol", L"");
  }
  WriteDefault(scheme + L"\\DefaultIcon", launcherIcon);
  WriteDefault(scheme + L"\\shell\\open\\command", openCommand);

  // The conversion throws for a name that is not UTF-8, ending the registration here.
  const std::wstring version = Utf8ToWide(versionName);
  const fs::path studioPath = installRoot / kVersionsFolderName / version / kStudioFileName;
  const std::wstring studioIcon = L"\"" + studioPath.native() + L"\",0";

  // Only a new or changed document icon is worth making the shell reload its associations.
  bool iconsChanged = false;
  for (const DocumentType& type : kDocumentTypes) {
    const std::wstring identifier = ClassKey(type.identifier);
    WriteDefault(ClassKey(type.extension), std::wstring(type.identifier));
    WriteDefault(identifier, std::wstring(type.description));
    if (IconDiffers(identifier + L"\\DefaultIcon", studioIcon)) iconsChanged = true;
    WriteDefault(identifier + L"\\DefaultIcon", studioIcon);
    WriteDefault(identifier + L"\\shell\\open\\command", openCommand);
  }
  if (iconsChanged) notify();

  // Walking every file of the client takes long on a large one, so the size is counted only when
  // the version changes (or no size was ever written), not on every start.
  const std::wstring uninstallKey(kUninstallKey);
  const bool sizeKnown = !TextDiffers(uninstallKey, L"DisplayVersion", version) &&
                         HasNumber(uninstallKey, L"EstimatedSize");
  if (const UniqueRegistryKey key = CreateKey(uninstallKey)) {
    SetText(key, L"DisplayName", L"Kelvadon");
    SetText(key, L"DisplayVersion", version);
    SetText(key, L"Publisher", L"Kelvadon");
    SetText(key, L"DisplayIcon", quotedLauncher);
    SetText(key, L"InstallLocation", installRoot.native());
    SetText(key, L"UninstallString", quotedLauncher + L" --uninstall");
    // Without an address an earlier one stays: registration never deletes.
    if (!website.empty()) SetText(key, L"URLInfoAbout", Utf8ToWide(website));
    SetNumber(key, L"NoModify", 1);
    // Windows' list of programs offers a Repair button for an entry that allows it, and runs the
    // entry's ModifyPath: a player gets back what a scanner or a cleaner took away.
    SetNumber(key, L"NoRepair", 0);
    SetText(key, L"ModifyPath", quotedLauncher + L" --repair");
    if (!sizeKnown) {
      SetNumber(key, L"EstimatedSize",
                EstimatedSizeKilobytes(InstalledSizeBytes(installRoot / kVersionsFolderName)));
    }
  }

  CreateShortcuts(launcherPath, studioPath, website);
}

}  // namespace

void RegisterWithWindows(const fs::path& installRoot, const fs::path& launcherPath,
                         const std::string& website, const std::string& versionName) {
  RegisterWithWindowsNotifying(installRoot, launcherPath, website, versionName,
                               NotifyAssociationsChanged);
}

void RegisterWithWindowsNotifying(const fs::path& installRoot, const fs::path& launcherPath,
                                  const std::string& website, const std::string& versionName,
                                  const std::function<void()>& notifyAssociationsChanged) {
  try {
    Register(installRoot, launcherPath, website, versionName, notifyAssociationsChanged);
  } catch (const std::system_error&) {
    // A version name or website that is not UTF-8 cannot reach the registry. The keys written
    // before it stay, and the launch goes on as after any registration.
  }
}

uint64_t InstalledSizeBytes(const fs::path& folder) {
  uint64_t total = 0;
  AddFolderSizes(FileSystemPath(folder).native(), total);
  return total;
}
