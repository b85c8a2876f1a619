/* A Windows program that does nothing: timing it under Wine gives Wine's own cost of starting a
   program, which every launcher figure under Wine includes. With "--window" it also shows a
   small window and closes it, as the launcher's progress window does; under Wine the first
   window of a session starts the desktop process, a cost of Wine's and not of the launcher's.
   Built like the launcher: GUI subsystem, static. */
#include <string.h>
#include <windows.h>

static LRESULT CALLBACK WindowProcedure(HWND window, UINT message, WPARAM w, LPARAM l) {
  return DefWindowProcW(window, message, w, l);
}

int WINAPI WinMain(HINSTANCE instance, HINSTANCE previous, LPSTR commandLine, int show) {
  (void)previous;
  (void)show;
  if (strstr(commandLine, "--window") == NULL) return 0;
  WNDCLASSW windowClass = {0};
  windowClass.lpfnWndProc = WindowProcedure;
  windowClass.hInstance = instance;
  windowClass.lpszClassName = L"EmptyProgramWindow";
  windowClass.hCursor = LoadCursorW(NULL, (LPCWSTR)IDC_ARROW);
  if (!RegisterClassW(&windowClass)) return 1;
  HWND window = CreateWindowExW(0, L"EmptyProgramWindow", L"Empty", WS_OVERLAPPEDWINDOW,
                                CW_USEDEFAULT, CW_USEDEFAULT, 400, 120, NULL, NULL, instance, NULL);
  if (window == NULL) return 1;
  ShowWindow(window, SW_SHOWNORMAL);
  UpdateWindow(window);
  MSG message;
  while (PeekMessageW(&message, NULL, 0, 0, PM_REMOVE)) DispatchMessageW(&message);
  DestroyWindow(window);
  return 0;
}
