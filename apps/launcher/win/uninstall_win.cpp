#include <windows.h>

#include <shlobj.h>

#include <string>
#include <system_error>

#include "common/system.h"
#include "common/windows_handles.h"
#include "files/file_io.h"
#include "update/store/install_root.h"
#include "win/registration.h"
#include "win/shortcuts.h"
#include "win/uninstall.h"

namespace fs = std::filesystem;

namespace {

void DeleteClassTree(const std::wstring& path) { RegDeleteTreeW(HKEY_CURRENT_USER, path.c_str()); }

fs::path SystemFolder() {
  wchar_t buffer[MAX_PATH + 1] = {};
  const UINT length = GetSystemDirectoryW(buffer, MAX_PATH + 1);
  if (length == 0 || length > MAX_PATH) return {};
  return fs::path(std::wstring(buffer, length));
}

}  // namespace

void UnregisterFromWindows(const fs::path& /*installRoot*/) {
  // Missing keys are fine: each step runs whatever the others found.
  DeleteClassTree(ClassKey(kUrlScheme));
  DeleteClassTree(std::wstring(kUninstallKey));
  for (const DocumentType& type : kDocumentTypes) {
    DeleteClassTree(ClassKey(type.extension));
    DeleteClassTree(ClassKey(type.identifier));
  }
  SHChangeNotify(SHCNE_ASSOCCHANGED, SHCNF_IDLIST, nullptr, nullptr);

  // The folder goes with whatever the user put in it.
  const fs::path programs = KnownFolderPath(KnownFolder::Programs);
  if (!programs.empty()) RemovePathTree(programs / kShortcutFolderName);
  const fs::path desktop = KnownFolderPath(KnownFolder::Desktop);
  if (!desktop.empty()) RemovePathTree(desktop / kStudioLinkName);
}

void ScheduleLauncherDeletion(const fs::path& installRoot) {
  // cmd runs in System32, so the paths must not depend on the launcher's current folder.
  std::error_code ec;
  const fs::path root = fs::absolute(installRoot, ec);
  if (ec) return;
  // cmd expands %NAME% even between double quotes, and a double quote would end the path: either
  // could turn the command on some other file.
  if (root.native().find_first_of(L"%\"") != std::wstring::npos) return;
  // Named in full: Windows would look for a bare cmd.exe beside the launcher first (Downloads,
  // for a setup copy), and cmd looks for ping in its current folder first.
  const fs::path system = SystemFolder();
  if (system.empty()) return;
  const std::wstring application = (system / L"cmd.exe").native();

  // The ping of the local machine is a pause of about two seconds; the second del runs whether
  // or not the first worked. /d skips the AutoRun commands a registry value may hold, and /v:off
  // keeps a '!' in the path from being read as a delayed variable. CreateProcessW may write into
  // the command line.
  std::wstring commandLine = L"cmd.exe /d /v:off /c ping 127.0.0.1 -n 3 > nul & del /f /q \"" +
                             (root / kLauncherFileName).native() + L"\" & del /f /q \"" +
                             (root / kOldLauncherFileName).native() + L"\"";
  STARTUPINFOW startup = {};
  startup.cb = sizeof(startup);
  UniqueProcessInformation info;
  CreateProcessW(application.c_str(), commandLine.data(), nullptr, nullptr, FALSE, CREATE_NO_WINDOW,
                 nullptr, system.c_str(), &startup, info.Put());
}
