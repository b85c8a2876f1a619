#include <windows.h>

#include <shellapi.h>

#include <system_error>

#include "common/system.h"
#include "common/text.h"
#include "common/windows_handles.h"
#include "win/command_line_quoting.h"
#include "win/start.h"

bool StartProgram(const std::filesystem::path& program, const std::vector<std::string>& args,
                  std::string& error) {
  std::vector<std::wstring> wideArgs;
  if (!ConvertArguments(args, wideArgs, error)) return false;
  // CreateProcessW may write into the command line, so it gets a buffer of its own.
  std::wstring commandLine = BuildCommandLine(program.native(), wideArgs);
  const std::wstring folder = program.parent_path().native();

  // All zero but the size: no window-show request and no standard handles for the program.
  STARTUPINFOW startup = {};
  startup.cb = sizeof(startup);
  UniqueProcessInformation info;
  if (!CreateProcessW(program.c_str(), commandLine.data(), nullptr, nullptr, FALSE,
                      CREATE_NO_WINDOW, nullptr, folder.empty() ? nullptr : folder.c_str(),
                      &startup, info.Put())) {
    error = WithWindowsError("Windows wouldn't start it");
    return false;
  }
  return true;
}

void OpenInBrowser(const std::string& address) {
  std::wstring wide;
  try {
    wide = Utf8ToWide(address);
  } catch (const std::system_error&) {
    return;  // an address Windows cannot read opens nothing, like one no browser takes
  }
  ShellExecuteW(nullptr, L"open", wide.c_str(), nullptr, nullptr, SW_SHOWNORMAL);
}
