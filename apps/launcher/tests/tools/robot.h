#pragma once

// Test helpers that look at and work the launcher's windows from another process, the way a
// user would: find a "Kelvadon" message box, read it, press one of its buttons, and read window
// pixels from the screen.

#include <windows.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

enum class DialogIcon { None, Warning, Blue };  // Blue: the information and question icons

struct DialogButton {
  int id = 0;
  std::wstring text;
};

struct DialogSeen {
  HWND window = nullptr;
  std::wstring text;
  std::vector<DialogButton> buttons;  // visible buttons only
  DialogIcon icon = DialogIcon::None;
};

// Waits for a message box captioned "Kelvadon" that belongs to the process, reads it, and fills
// seen. False when none appeared in time.
bool WaitForDialog(DWORD processId, DWORD timeoutMs, DialogSeen& seen);

// Presses the button with that id (IDOK, IDYES, IDNO) and waits for the box to close.
bool PressButton(const DialogSeen& dialog, int id);

// The top-level window of that class belonging to the process, waiting up to timeoutMs.
HWND WaitForWindow(DWORD processId, const wchar_t* className, DWORD timeoutMs);

// Pixels of a screen rectangle as 0x00RRGGBB, row by row from the top.
std::vector<uint32_t> CaptureScreen(const RECT& rect);

// The client area of a window in screen coordinates.
RECT ClientRectOnScreen(HWND window);

// Writes 0x00RRGGBB pixels as an RGB PNG file.
bool WritePng(const std::filesystem::path& path, int width, int height,
              const std::vector<uint32_t>& pixels);

// A started process with its handle; a process still running at destruction is ended, so a
// failed test leaves nothing behind.
struct StartedProcess {
  HANDLE process = nullptr;
  DWORD id = 0;
  StartedProcess() = default;
  StartedProcess(const StartedProcess&) = delete;
  StartedProcess& operator=(const StartedProcess&) = delete;
  ~StartedProcess();
};

// Starts program with the arguments (each quoted); false when Windows refused.
bool StartTestProcess(const std::filesystem::path& program, const std::vector<std::wstring>& args,
                      StartedProcess& started);
// Waits for the process to end and gives its exit code; false on time-out.
bool WaitForExit(const StartedProcess& started, DWORD timeoutMs, DWORD& exitCode);

// Folder of the running test program.
std::filesystem::path OwnFolder();
