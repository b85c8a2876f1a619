#include <windows.h>

#include <shellapi.h>

#include <string>
#include <system_error>
#include <vector>

#include "app/launcher.h"
#include "common/text.h"
#include "ui/progress.h"

namespace {

std::vector<std::string> ReadArguments() {
  std::vector<std::string> args;
  int count = 0;
  LPWSTR* list = CommandLineToArgvW(GetCommandLineW(), &count);
  if (list == nullptr) return args;
  for (int i = 1; i < count; ++i) {
    try {
      args.push_back(WideToUtf8(list[i]));
    } catch (const std::system_error&) {
      // An argument that is not valid UTF-16 names nothing we could use; it is skipped.
    }
  }
  LocalFree(list);
  return args;
}

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
  // Started from the Downloads folder, the setup program must never load a DLL lying beside it:
  // every DLL loaded later, by us or by Windows on our behalf, comes from System32.
  SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32);
  return RunJobGuarded([](const ProgressReporter&) { return RunLauncher(ReadArguments()); },
                       [](const std::string&, double) {});
}
