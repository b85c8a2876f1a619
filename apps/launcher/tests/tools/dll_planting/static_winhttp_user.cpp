// The control: a program linked to winhttp.dll the ordinary way, which Windows (and Wine told to
// prefer a DLL beside the program) satisfies from the program's own folder first.
#include <windows.h>

#include <winhttp.h>

int wmain() { return WinHttpCheckPlatform() ? 0 : 1; }
