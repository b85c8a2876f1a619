/* A stand-in winhttp.dll, as someone could leave one in a Downloads folder. When a process loads
   it, it writes the process's path into planted-winhttp-loaded.txt beside itself. */
#include <windows.h>

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
  (void)reserved;
  if (reason != DLL_PROCESS_ATTACH) return TRUE;
  WCHAR path[MAX_PATH + 40];
  DWORD length = GetModuleFileNameW(instance, path, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return TRUE;
  while (length > 0 && path[length - 1] != L'\\' && path[length - 1] != L'/') --length;
  lstrcpyW(path + length, L"planted-winhttp-loaded.txt");
  HANDLE file = CreateFileW(path, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, 0, NULL);
  if (file != INVALID_HANDLE_VALUE) {
    WCHAR process[MAX_PATH];
    const DWORD processLength = GetModuleFileNameW(NULL, process, MAX_PATH);
    DWORD written = 0;
    WriteFile(file, process, processLength * sizeof(WCHAR), &written, NULL);
    CloseHandle(file);
  }
  return TRUE;
}

/* The one function the control program imports. */
__declspec(dllexport) BOOL WINAPI WinHttpCheckPlatform(void) { return TRUE; }
