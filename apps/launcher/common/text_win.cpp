#include <windows.h>

#include <climits>
#include <system_error>

#include "common/text.h"

namespace {

[[noreturn]] void ThrowLastError(const char* what) {
  const DWORD code = GetLastError();
  throw std::system_error(static_cast<int>(code), std::system_category(), what);
}

}  // namespace

std::wstring Utf8ToWide(std::string_view utf8) {
  if (utf8.empty()) return {};
  if (utf8.size() > static_cast<size_t>(INT_MAX)) {
    throw std::system_error(ERROR_INVALID_PARAMETER, std::system_category(), "text too long");
  }
  const int inLength = static_cast<int>(utf8.size());
  const int length =
      MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8.data(), inLength, nullptr, 0);
  if (length <= 0) ThrowLastError("MultiByteToWideChar");
  std::wstring out(static_cast<size_t>(length), L'\0');
  if (MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8.data(), inLength, out.data(),
                          length) != length) {
    ThrowLastError("MultiByteToWideChar");
  }
  return out;
}

std::string WideToUtf8(std::wstring_view wide) {
  if (wide.empty()) return {};
  if (wide.size() > static_cast<size_t>(INT_MAX)) {
    throw std::system_error(ERROR_INVALID_PARAMETER, std::system_category(), "text too long");
  }
  const int inLength = static_cast<int>(wide.size());
  const int length = WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, wide.data(), inLength,
                                         nullptr, 0, nullptr, nullptr);
  if (length <= 0) ThrowLastError("WideCharToMultiByte");
  std::string out(static_cast<size_t>(length), '\0');
  if (WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, wide.data(), inLength, out.data(), length,
                          nullptr, nullptr) != length) {
    ThrowLastError("WideCharToMultiByte");
  }
  return out;
}

std::filesystem::path PathFromUtf8(std::string_view utf8) {
  return std::filesystem::path(Utf8ToWide(utf8));
}

std::string PathToUtf8(const std::filesystem::path& path) { return WideToUtf8(path.native()); }
