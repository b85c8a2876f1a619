// The sample client of the tests and the demo, published both as kelvadon_player.exe and as
// kelvadon_studio.exe. It never ships with the launcher.
//
// Every start appends a record to the file named by KELVADON_SAMPLE_LOG (the launcher passes
// its environment on):
//   program: <own path>
//   command line: <the whole command line>
//   argument: <each argument as CommandLineToArgvW splits it>
//   folder: <current folder>
//   end
// With KELVADON_SAMPLE_WINDOW set to a number of seconds, it also shows a window saying what it
// was started with, and closes it after that time.
#include <windows.h>

#include <shellapi.h>

#include <string>
#include <vector>

namespace {

std::string ToUtf8(const std::wstring& text) {
  if (text.empty()) return {};
  const int length = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()),
                                         nullptr, 0, nullptr, nullptr);
  std::string out(static_cast<size_t>(length), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), out.data(), length,
                      nullptr, nullptr);
  return out;
}

std::wstring Environment(const wchar_t* name) {
  wchar_t buffer[2048] = {};
  const DWORD length = GetEnvironmentVariableW(name, buffer, 2048);
  if (length == 0 || length >= 2048) return {};
  return std::wstring(buffer, length);
}

std::wstring OwnPath() {
  wchar_t buffer[2048] = {};
  const DWORD length = GetModuleFileNameW(nullptr, buffer, 2048);
  return std::wstring(buffer, length);
}

std::wstring CurrentFolder() {
  wchar_t buffer[2048] = {};
  const DWORD length = GetCurrentDirectoryW(2048, buffer);
  return std::wstring(buffer, length);
}

void AppendRecord(const std::wstring& logPath, const std::string& record) {
  HANDLE file = CreateFileW(logPath.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                            nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return;
  DWORD written = 0;
  WriteFile(file, record.data(), static_cast<DWORD>(record.size()), &written, nullptr);
  CloseHandle(file);
}

std::wstring g_shown;

LRESULT CALLBACK WindowProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_PAINT: {
      PAINTSTRUCT paint;
      HDC dc = BeginPaint(window, &paint);
      RECT client;
      GetClientRect(window, &client);
      HBRUSH brush = CreateSolidBrush(RGB(40, 70, 140));
      FillRect(dc, &client, brush);
      DeleteObject(brush);
      SetBkMode(dc, TRANSPARENT);
      SetTextColor(dc, RGB(255, 255, 255));
      RECT text = {20, 20, client.right - 20, client.bottom - 20};
      DrawTextW(dc, g_shown.c_str(), -1, &text, DT_WORDBREAK | DT_NOPREFIX);
      EndPaint(window, &paint);
      return 0;
    }
    case WM_TIMER:
      DestroyWindow(window);
      return 0;
    case WM_DESTROY:
      PostQuitMessage(0);
      return 0;
    default:
      return DefWindowProcW(window, message, wParam, lParam);
  }
}

void ShowWhatWeGot(const std::wstring& title, UINT seconds) {
  WNDCLASSW windowClass = {};
  windowClass.lpfnWndProc = WindowProcedure;
  windowClass.hInstance = GetModuleHandleW(nullptr);
  windowClass.hCursor = LoadCursorW(nullptr, IDC_ARROW);
  windowClass.lpszClassName = L"KelvadonSampleClient";
  RegisterClassW(&windowClass);
  HWND window = CreateWindowExW(0, L"KelvadonSampleClient", title.c_str(),
                                WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU, 120, 120, 640, 260,
                                nullptr, nullptr, windowClass.hInstance, nullptr);
  if (window == nullptr) return;
  ShowWindow(window, SW_SHOWNORMAL);
  UpdateWindow(window);
  SetTimer(window, 1, seconds * 1000, nullptr);
  MSG message;
  while (GetMessageW(&message, nullptr, 0, 0) > 0) {
    TranslateMessage(&message);
    DispatchMessageW(&message);
  }
}

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
  const std::wstring commandLine = GetCommandLineW();
  int count = 0;
  LPWSTR* args = CommandLineToArgvW(commandLine.c_str(), &count);
  std::vector<std::wstring> arguments;
  for (int i = 1; i < count; ++i) arguments.emplace_back(args[i]);
  LocalFree(args);

  std::string record = "program: " + ToUtf8(OwnPath()) + "\n";
  record += "command line: " + ToUtf8(commandLine) + "\n";
  for (const std::wstring& argument : arguments) record += "argument: " + ToUtf8(argument) + "\n";
  record += "folder: " + ToUtf8(CurrentFolder()) + "\nend\n";
  const std::wstring logPath = Environment(L"KELVADON_SAMPLE_LOG");
  if (!logPath.empty()) AppendRecord(logPath, record);

  const std::wstring seconds = Environment(L"KELVADON_SAMPLE_WINDOW");
  if (!seconds.empty()) {
    const std::wstring own = OwnPath();
    const bool studio = own.find(L"studio") != std::wstring::npos;
    g_shown = std::wstring(studio ? L"Kelvadon Studio (sample)" : L"Kelvadon (sample player)") +
              L"\n\nStarted in " + CurrentFolder() + L"\nwith:";
    for (const std::wstring& argument : arguments) g_shown += L"\n" + argument;
    if (arguments.empty()) g_shown += L" no arguments";
    ShowWhatWeGot(studio ? L"Kelvadon Studio" : L"Kelvadon",
                  static_cast<UINT>(_wtoi(seconds.c_str())));
  }
  return 0;
}
