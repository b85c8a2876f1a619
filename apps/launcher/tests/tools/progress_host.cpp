// Runs one test Job behind the real progress window, chosen by the first argument:
//   show <fraction> <status>   report once, then wait for the event "KelvadonTestRelease"; exit 0
//   sleep                      report, then sleep a minute (the test closes the window first)
//   throw                      throw from the Job
//   return <n>                 return n at once
//   badtext                    report and show a warning whose bytes are not valid UTF-8
#include <windows.h>

#include <shellapi.h>

#include <cmath>
#include <cstdlib>
#include <stdexcept>
#include <string>

#include "common/text.h"
#include "ui/progress.h"

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
  int count = 0;
  LPWSTR* args = CommandLineToArgvW(GetCommandLineW(), &count);
  const std::wstring mode = count > 1 ? args[1] : L"";
  const std::wstring first = count > 2 ? args[2] : L"";
  const std::wstring second = count > 3 ? args[3] : L"";
  LocalFree(args);

  Job job;
  if (mode == L"show") {
    const double fraction = first == L"nan" ? std::nan("") : std::wcstod(first.c_str(), nullptr);
    const std::string status = WideToUtf8(second);
    job = [fraction, status](const ProgressReporter& report) {
      HANDLE release = CreateEventW(nullptr, TRUE, FALSE, L"KelvadonTestRelease");
      report(status, fraction);
      WaitForSingleObject(release, 60000);
      CloseHandle(release);
      return 0;
    };
  } else if (mode == L"sleep") {
    job = [](const ProgressReporter& report) {
      report("Working...", -1.0);
      Sleep(60000);
      return 0;
    };
  } else if (mode == L"throw") {
    job = [](const ProgressReporter&) -> int { throw std::runtime_error("test failure"); };
  } else if (mode == L"badtext") {
    job = [](const ProgressReporter& report) {
      report("Half \xc3", 0.25);
      ShowMessage("Bad \xff text", true);
      return 3;
    };
  } else {
    const int code = std::wcstol(first.c_str(), nullptr, 10);
    job = [code](const ProgressReporter&) { return code; };
  }
  return RunWithProgressWindow(job);
}
