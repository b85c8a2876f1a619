#include <windows.h>

#include <objbase.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <mutex>
#include <thread>

#include "common/text.h"
#include "ui/progress.h"

namespace {

constexpr UINT kRepaintMessage = WM_APP + 1;
constexpr UINT kJobDoneMessage = WM_APP + 2;
constexpr int kClientWidth = 440;
constexpr int kClientHeight = 150;
constexpr DWORD kWindowStyle = WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX;

struct ProgressState {
  std::mutex mutex;
  std::wstring status = L"Starting...";
  double fraction = -1.0;
};

ProgressState g_state;
// Written once by the main thread before the worker starts, never cleared.
HWND g_window = nullptr;
std::atomic<int> g_result{1};
std::atomic<bool> g_done{false};

// For display only: any text becomes something MessageBoxW and DrawTextW can show.
std::wstring DisplayText(const std::string& utf8) { return Utf8ToWide(ReplaceInvalidUtf8(utf8)); }

void FillSolid(HDC dc, const RECT& rect, COLORREF colour) {
  HBRUSH brush = CreateSolidBrush(colour);
  FillRect(dc, &rect, brush);
  DeleteObject(brush);
}

void Paint(HWND window) {
  PAINTSTRUCT paint;
  HDC dc = BeginPaint(window, &paint);
  RECT client;
  GetClientRect(window, &client);
  FillSolid(dc, client, RGB(24, 26, 30));

  std::wstring status;
  double fraction = -1.0;
  {
    std::lock_guard<std::mutex> lock(g_state.mutex);
    status = g_state.status;
    fraction = g_state.fraction;
  }

  HFONT font =
      CreateFontW(-18, 0, 0, 0, 600, FALSE, FALSE, FALSE, DEFAULT_CHARSET, OUT_DEFAULT_PRECIS,
                  CLIP_DEFAULT_PRECIS, CLEARTYPE_QUALITY, DEFAULT_PITCH | FF_DONTCARE, L"Segoe UI");
  HGDIOBJ previousFont = SelectObject(dc, font);
  SetBkMode(dc, TRANSPARENT);
  SetTextColor(dc, RGB(230, 230, 230));
  RECT textRect = {24, 28, client.right - 24, 70};
  DrawTextW(dc, status.c_str(), static_cast<int>(status.size()), &textRect,
            DT_SINGLELINE | DT_END_ELLIPSIS);
  SelectObject(dc, previousFont);
  DeleteObject(font);

  const RECT track = {24, 82, client.right - 24, 98};
  FillSolid(dc, track, RGB(50, 54, 60));
  // NaN fails this test and so draws no fill.
  if (fraction >= 0) {
    const double share = std::min(fraction, 1.0);
    const LONG width = static_cast<LONG>(static_cast<double>(track.right - track.left) * share);
    const RECT fill = {track.left, track.top, track.left + width, track.bottom};
    FillSolid(dc, fill, RGB(80, 200, 110));
  }
  EndPaint(window, &paint);
}

LRESULT CALLBACK WindowProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_DESTROY:
      PostQuitMessage(0);
      return 0;
    case WM_PAINT:
      Paint(window);
      return 0;
    case kRepaintMessage:
      InvalidateRect(window, nullptr, FALSE);
      return 0;
    case kJobDoneMessage:
      DestroyWindow(window);
      return 0;
    default:
      return DefWindowProcW(window, message, wParam, lParam);
  }
}

HWND CreateProgressWindow() {
  HINSTANCE instance = GetModuleHandleW(nullptr);
  WNDCLASSW windowClass = {};
  windowClass.style = 0;
  windowClass.lpfnWndProc = WindowProcedure;
  windowClass.hInstance = instance;
  windowClass.hIcon = LoadIconW(nullptr, IDI_APPLICATION);
  windowClass.hCursor = LoadCursorW(nullptr, IDC_ARROW);
  windowClass.lpszClassName = L"KelvadonLauncher";
  RegisterClassW(&windowClass);  // a failure shows up as CreateWindowExW failing

  RECT outer = {0, 0, kClientWidth, kClientHeight};
  AdjustWindowRect(&outer, kWindowStyle, FALSE);
  const int width = outer.right - outer.left;
  const int height = outer.bottom - outer.top;
  const int left = (GetSystemMetrics(SM_CXSCREEN) - width) / 2;
  const int top = (GetSystemMetrics(SM_CYSCREEN) - height) / 2;
  HWND window = CreateWindowExW(0, L"KelvadonLauncher", L"Kelvadon", kWindowStyle, left, top, width,
                                height, nullptr, nullptr, instance, nullptr);
  if (window != nullptr) {
    ShowWindow(window, SW_SHOWNORMAL);
    UpdateWindow(window);
  }
  return window;
}

void RunWorker(const Job& job) {
  const HRESULT com = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
  const int result = RunJobGuarded(
      job, [](const std::string& status, double fraction) { ReportProgress(status, fraction); });
  g_result.store(result);
  if (SUCCEEDED(com)) CoUninitialize();
  g_done.store(true);
  if (g_window != nullptr) PostMessageW(g_window, kJobDoneMessage, 0, 0);
}

}  // namespace

int RunWithProgressWindow(const Job& job) {
  g_window = CreateProgressWindow();
  g_result.store(1);
  g_done.store(false);
  std::thread worker(RunWorker, std::cref(job));
  if (g_window != nullptr) {
    MSG message;
    while (GetMessageW(&message, nullptr, 0, 0) > 0) {
      TranslateMessage(&message);
      DispatchMessageW(&message);
    }
    if (!g_done.load()) {
      // The user closed the window while the Job was running: end now, leaving it unfinished.
      ExitProcess(1);
    }
  }
  worker.join();
  return g_result.load();
}

void ReportProgress(const std::string& status, double fraction) {
  try {
    // Converted before the lock, so the painter never waits on a conversion.
    std::wstring wide = DisplayText(status);
    {
      std::lock_guard<std::mutex> lock(g_state.mutex);
      g_state.status.swap(wide);
      g_state.fraction = fraction;
    }
    if (g_window != nullptr) PostMessageW(g_window, kRepaintMessage, 0, 0);
  } catch (...) {
    // A status line that cannot be shown is not worth ending the run for.
  }
}

bool AskYesNo(const std::string& question) {
  try {
    const std::wstring text = DisplayText(question);
    return MessageBoxW(nullptr, text.c_str(), L"Kelvadon",
                       MB_YESNO | MB_ICONQUESTION | MB_TOPMOST) == IDYES;
  } catch (...) {
    return false;
  }
}

void ShowMessage(const std::string& text, bool warning) {
  try {
    const std::wstring wide = DisplayText(text);
    const UINT icon = warning ? MB_ICONWARNING : MB_ICONINFORMATION;
    MessageBoxW(nullptr, wide.c_str(), L"Kelvadon", MB_OK | icon | MB_TOPMOST);
  } catch (...) {
    // Nothing left to tell the user with.
  }
}
