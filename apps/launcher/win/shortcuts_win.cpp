#include <windows.h>

#include <objbase.h>
#include <objidl.h>
#include <shlobj.h>
#include <shobjidl.h>

#include <fstream>
#include <system_error>

#include "common/system.h"
#include "common/unique_handle.h"
#include "win/shortcuts.h"

namespace fs = std::filesystem;

namespace {

template <typename Interface>
struct ComTraits {
  using Type = Interface*;
  static Type Invalid() { return nullptr; }
  static void Close(Type object) { object->Release(); }
};
template <typename Interface>
using UniqueCom = UniqueHandle<ComTraits<Interface>>;

// A single-threaded apartment for the shell-link objects. S_FALSE (the thread already has one)
// counts as success and must be balanced too; a thread in the other kind of apartment keeps it.
struct ComApartment {
  HRESULT result = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
  ComApartment() = default;
  ComApartment(const ComApartment&) = delete;
  ComApartment& operator=(const ComApartment&) = delete;
  ~ComApartment() {
    if (SUCCEEDED(result)) CoUninitialize();
  }
};

}  // namespace

void CreateShortcut(const fs::path& linkPath, const fs::path& target, const std::wstring& arguments,
                    const fs::path& iconPath, const std::wstring& description) {
  void* object = nullptr;
  if (FAILED(CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW,
                              &object))) {
    return;
  }
  const UniqueCom<IShellLinkW> link(static_cast<IShellLinkW*>(object));
  link.Get()->SetPath(target.c_str());
  link.Get()->SetArguments(arguments.c_str());
  link.Get()->SetWorkingDirectory(target.parent_path().c_str());
  link.Get()->SetDescription(description.c_str());
  if (!iconPath.empty()) link.Get()->SetIconLocation(iconPath.c_str(), 0);

  void* persist = nullptr;
  if (FAILED(link.Get()->QueryInterface(IID_IPersistFile, &persist))) return;
  const UniqueCom<IPersistFile> file(static_cast<IPersistFile*>(persist));
  std::error_code ignored;  // a folder that cannot be made shows as a link that is not saved
  fs::create_directories(linkPath.parent_path(), ignored);
  file.Get()->Save(linkPath.c_str(), TRUE);
}

void CreateShortcuts(const fs::path& launcherPath, const fs::path& studioPath,
                     const std::string& website) {
  const ComApartment apartment;
  const std::wstring arguments = L"--studio";
  const std::wstring description = L"Make Kelvadon games";
  // An unknown folder is skipped: joined to an empty path the names would land in the current
  // folder.
  const fs::path programs = KnownFolderPath(KnownFolder::Programs);
  const fs::path desktop = KnownFolderPath(KnownFolder::Desktop);
  const fs::path folder = programs.empty() ? fs::path() : programs / kShortcutFolderName;

  if (!folder.empty()) {
    CreateShortcut(folder / kStudioLinkName, launcherPath, arguments, studioPath, description);
  }
  if (!desktop.empty()) {
    CreateShortcut(desktop / kStudioLinkName, launcherPath, arguments, studioPath, description);
  }
  if (!website.empty() && !folder.empty()) {
    // The address goes in as it is, bytes and all; a folder that is missing writes nothing.
    std::ofstream out(folder / kInternetShortcutName, std::ios::binary | std::ios::trunc);
    if (out) out << "[InternetShortcut]\r\nURL=" << website << "/games\r\n";
  }
}
