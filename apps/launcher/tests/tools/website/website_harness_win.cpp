#include <windows.h>

#include "common/text.h"
#include "website_harness.h"

bool RunningUnderWine() {
  const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
  return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

// Wine shows the Linux file system as drive Z:.
std::filesystem::path LocalPath(const std::string& hostPath) {
  return std::filesystem::path(L"Z:" + PathFromUtf8(hostPath).wstring());
}
