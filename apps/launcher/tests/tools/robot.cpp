#include "robot.h"

#include <algorithm>

namespace {

struct FindState {
  DWORD processId;
  const wchar_t* className;
  const wchar_t* caption;
  HWND found;
};

BOOL CALLBACK FindTopLevel(HWND window, LPARAM param) {
  auto* state = reinterpret_cast<FindState*>(param);
  DWORD owner = 0;
  GetWindowThreadProcessId(window, &owner);
  if (owner != state->processId || !IsWindowVisible(window)) return TRUE;
  wchar_t className[64] = {};
  GetClassNameW(window, className, 64);
  if (wcscmp(className, state->className) != 0) return TRUE;
  if (state->caption != nullptr) {
    wchar_t caption[64] = {};
    GetWindowTextW(window, caption, 64);
    if (wcscmp(caption, state->caption) != 0) return TRUE;
  }
  state->found = window;
  return FALSE;
}

HWND FindWindowOf(DWORD processId, const wchar_t* className, const wchar_t* caption,
                  DWORD timeoutMs) {
  const ULONGLONG deadline = GetTickCount64() + timeoutMs;
  do {
    FindState state = {processId, className, caption, nullptr};
    EnumWindows(FindTopLevel, reinterpret_cast<LPARAM>(&state));
    if (state.found != nullptr) return state.found;
    Sleep(50);
  } while (GetTickCount64() < deadline);
  return nullptr;
}

std::wstring WindowText(HWND window) {
  const int length = GetWindowTextLengthW(window);
  std::wstring text(static_cast<size_t>(length) + 1, L'\0');
  const int copied = GetWindowTextW(window, text.data(), length + 1);
  text.resize(static_cast<size_t>(std::max(copied, 0)));
  return text;
}

struct ChildScan {
  std::vector<DialogButton> buttons;
  HWND iconControl = nullptr;
};

BOOL CALLBACK ScanChild(HWND child, LPARAM param) {
  auto* scan = reinterpret_cast<ChildScan*>(param);
  wchar_t className[32] = {};
  GetClassNameW(child, className, 32);
  if (_wcsicmp(className, L"Button") == 0 && IsWindowVisible(child)) {
    scan->buttons.push_back({GetDlgCtrlID(child), WindowText(child)});
  } else if (_wcsicmp(className, L"Static") == 0 && IsWindowVisible(child) &&
             (GetWindowLongW(child, GWL_STYLE) & SS_TYPEMASK) == SS_ICON) {
    scan->iconControl = child;
  }
  return TRUE;
}

// Icon handles of another process cannot be used, so the icon is told apart by its colours on
// the screen: the warning icon is mostly yellow, the information and question icons blue.
DialogIcon ClassifyIcon(HWND iconControl) {
  if (iconControl == nullptr) return DialogIcon::None;
  RECT rect;
  GetWindowRect(iconControl, &rect);
  int yellow = 0;
  int blue = 0;
  for (const uint32_t pixel : CaptureScreen(rect)) {
    const int r = (pixel >> 16) & 0xFF;
    const int g = (pixel >> 8) & 0xFF;
    const int b = pixel & 0xFF;
    if (r > 180 && g > 140 && b < 110) ++yellow;
    if (b > 150 && r < 140 && b > g) ++blue;
  }
  if (yellow == 0 && blue == 0) return DialogIcon::None;
  return yellow > blue ? DialogIcon::Warning : DialogIcon::Blue;
}

}  // namespace

bool WaitForDialog(DWORD processId, DWORD timeoutMs, DialogSeen& seen) {
  seen = DialogSeen{};
  HWND dialog = FindWindowOf(processId, L"#32770", L"Kelvadon", timeoutMs);
  if (dialog == nullptr) return false;
  // Give the box a moment to paint its icon before the screen is read.
  Sleep(300);
  seen.window = dialog;
  seen.text = WindowText(GetDlgItem(dialog, 0xFFFF));
  ChildScan scan;
  EnumChildWindows(dialog, ScanChild, reinterpret_cast<LPARAM>(&scan));
  seen.buttons = scan.buttons;
  seen.icon = ClassifyIcon(scan.iconControl);
  return true;
}

bool PressButton(const DialogSeen& dialog, int id) {
  HWND button = GetDlgItem(dialog.window, id);
  if (!PostMessageW(dialog.window, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED),
                    reinterpret_cast<LPARAM>(button))) {
    return false;
  }
  // Wait for the box to go, so that a box shown next is never mistaken for this one.
  const ULONGLONG deadline = GetTickCount64() + 10000;
  while (IsWindow(dialog.window)) {
    if (GetTickCount64() > deadline) return false;
    Sleep(20);
  }
  return true;
}

HWND WaitForWindow(DWORD processId, const wchar_t* className, DWORD timeoutMs) {
  return FindWindowOf(processId, className, nullptr, timeoutMs);
}

std::vector<uint32_t> CaptureScreen(const RECT& rect) {
  const int width = rect.right - rect.left;
  const int height = rect.bottom - rect.top;
  std::vector<uint32_t> pixels;
  if (width <= 0 || height <= 0) return pixels;
  HDC screen = GetDC(nullptr);
  HDC memory = CreateCompatibleDC(screen);
  BITMAPINFO info = {};
  info.bmiHeader.biSize = sizeof(info.bmiHeader);
  info.bmiHeader.biWidth = width;
  info.bmiHeader.biHeight = -height;  // top-down rows
  info.bmiHeader.biPlanes = 1;
  info.bmiHeader.biBitCount = 32;
  info.bmiHeader.biCompression = BI_RGB;
  void* bits = nullptr;
  HBITMAP bitmap = CreateDIBSection(screen, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
  if (bitmap != nullptr) {
    HGDIOBJ previous = SelectObject(memory, bitmap);
    BitBlt(memory, 0, 0, width, height, screen, rect.left, rect.top, SRCCOPY);
    GdiFlush();
    const auto* source = static_cast<const uint32_t*>(bits);
    pixels.assign(source, source + static_cast<size_t>(width) * static_cast<size_t>(height));
    for (uint32_t& pixel : pixels) pixel &= 0x00FFFFFF;
    SelectObject(memory, previous);
    DeleteObject(bitmap);
  }
  DeleteDC(memory);
  ReleaseDC(nullptr, screen);
  return pixels;
}

RECT ClientRectOnScreen(HWND window) {
  RECT client = {};
  GetClientRect(window, &client);
  POINT topLeft = {0, 0};
  ClientToScreen(window, &topLeft);
  return {topLeft.x, topLeft.y, topLeft.x + client.right, topLeft.y + client.bottom};
}

StartedProcess::~StartedProcess() {
  if (process == nullptr) return;
  if (WaitForSingleObject(process, 0) == WAIT_TIMEOUT) {
    TerminateProcess(process, 99);
    WaitForSingleObject(process, 5000);
  }
  CloseHandle(process);
}

bool StartTestProcess(const std::filesystem::path& program, const std::vector<std::wstring>& args,
                      StartedProcess& started) {
  std::wstring commandLine = L"\"" + program.wstring() + L"\"";
  for (const std::wstring& arg : args) commandLine += L" \"" + arg + L"\"";
  STARTUPINFOW startup = {};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION info = {};
  if (!CreateProcessW(program.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr,
                      nullptr, &startup, &info)) {
    return false;
  }
  CloseHandle(info.hThread);
  started.process = info.hProcess;
  started.id = info.dwProcessId;
  return true;
}

bool WaitForExit(const StartedProcess& started, DWORD timeoutMs, DWORD& exitCode) {
  if (WaitForSingleObject(started.process, timeoutMs) != WAIT_OBJECT_0) return false;
  return GetExitCodeProcess(started.process, &exitCode) != FALSE;
}

std::filesystem::path OwnFolder() {
  wchar_t buffer[2048] = {};
  GetModuleFileNameW(nullptr, buffer, 2048);
  return std::filesystem::path(buffer).parent_path();
}
