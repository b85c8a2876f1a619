#pragma once

// Windows only: included by _win.cpp files.
#include <windows.h>

// Libraries that are not among Windows' KnownDLLs (winhttp.dll, bcrypt.dll) are never linked: a
// setup program starts from the Downloads folder, where a linked one would be looked for first
// and anyone's download could have put one. They are loaded from System32 only.
inline HMODULE LoadSystemLibrary(const wchar_t* name) {
  return LoadLibraryExW(name, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
}

// Looks up one function of a loaded library into a typed pointer; false when it is missing.
template <typename Function>
bool LoadFunction(HMODULE module, const char* name, Function& function) {
  const FARPROC address = GetProcAddress(module, name);
  function = reinterpret_cast<Function>(reinterpret_cast<void*>(address));
  return function != nullptr;
}
