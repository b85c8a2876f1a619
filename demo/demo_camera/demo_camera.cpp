// The demo's hands and camera under Wine, working the launcher's windows the way a user would.
//   demo_camera.exe shoot <output folder> <program> [arguments...]
//     starts the program (the setup program), saves the progress window mid-install and the
//     sample player's window as PNG files. Exit code: the program's own, or 3 when the player's
//     window never appeared.
//   demo_camera.exe answer <yes|no> <program> [arguments...]
//     starts the program, prints its first message box and presses that button, then prints and
//     closes any later box. Exit code: the program's own, or 3 when no box appeared.
#include <windows.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "robot.h"

namespace {

namespace fs = std::filesystem;

// Saves the window's whole rectangle; false when it is gone or the file cannot be written.
bool SaveWindow(HWND window, const fs::path& file) {
  RECT rect = {};
  if (!IsWindow(window) || !GetWindowRect(window, &rect)) return false;
  const std::vector<uint32_t> pixels = CaptureScreen(rect);
  const int width = rect.right - rect.left;
  const int height = rect.bottom - rect.top;
  if (pixels.size() != static_cast<size_t>(width) * static_cast<size_t>(height)) return false;
  if (!WritePng(file, width, height, pixels)) return false;
  std::wprintf(L"Saved %ls\n", file.wstring().c_str());
  return true;
}

HWND WaitForAnyWindow(const wchar_t* className, DWORD timeoutMs) {
  const ULONGLONG deadline = GetTickCount64() + timeoutMs;
  while (GetTickCount64() < deadline) {
    HWND window = FindWindowW(className, nullptr);
    if (window != nullptr && IsWindowVisible(window)) return window;
    Sleep(100);
  }
  return nullptr;
}

int Answer(const std::wstring& answer, const StartedProcess& program) {
  DialogSeen seen;
  if (!WaitForDialog(program.id, 60000, seen)) {
    std::wprintf(L"No message box appeared.\n");
    return 3;
  }
  std::wprintf(L"Message: %ls\nPressing %ls.\n", seen.text.c_str(), answer.c_str());
  PressButton(seen, answer == L"yes" ? IDYES : IDNO);
  DWORD exitCode = 99;
  const ULONGLONG deadline = GetTickCount64() + 60000;
  while (!WaitForExit(program, 200, exitCode)) {
    if (GetTickCount64() > deadline) {
      std::wprintf(L"The program did not end.\n");
      return 4;
    }
    if (WaitForDialog(program.id, 1000, seen)) {
      std::wprintf(L"Message: %ls\n", seen.text.c_str());
      PressButton(seen, IDOK);
    }
  }
  return static_cast<int>(exitCode);
}

int Shoot(const fs::path& output, const StartedProcess& setup) {
  // The progress window shows only once the work lasts a moment; a little more lets the bar
  // move.
  HWND progress = WaitForWindow(setup.id, L"KelvadonLauncher", 30000);
  if (progress != nullptr) {
    Sleep(1500);
    SaveWindow(progress, output / L"progress.png");
  } else {
    std::wprintf(L"The progress window did not appear.\n");
  }

  DWORD exitCode = 99;
  if (!WaitForExit(setup, 180000, exitCode)) {
    std::wprintf(L"The setup program did not end.\n");
    return 4;
  }
  HWND player = WaitForAnyWindow(L"KelvadonSampleClient", 20000);
  if (player == nullptr) {
    std::wprintf(L"The player's window did not appear.\n");
    return exitCode != 0 ? static_cast<int>(exitCode) : 3;
  }
  Sleep(500);  // its first paint
  SaveWindow(player, output / L"player.png");
  return static_cast<int>(exitCode);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  const std::wstring mode = argc > 1 ? argv[1] : L"";
  if (argc < 4 || (mode != L"shoot" && mode != L"answer")) {
    std::fwprintf(stderr,
                  L"usage: demo_camera.exe shoot <output folder> <program> [arguments...]\n"
                  L"       demo_camera.exe answer <yes|no> <program> [arguments...]\n");
    return 2;
  }
  const std::vector<std::wstring> args(argv + 4, argv + argc);
  StartedProcess program;
  if (!StartTestProcess(argv[3], args, program)) {
    std::fwprintf(stderr, L"Windows would not start %ls\n", argv[3]);
    return 2;
  }
  std::fflush(stdout);
  return mode == L"shoot" ? Shoot(argv[2], program) : Answer(argv[2], program);
}
