#include <climits>
#include <system_error>

#include "common/text.h"

// On Linux wchar_t holds UTF-32; the conversions are strict in both directions.

namespace {

[[noreturn]] void ThrowInvalid() {
  throw std::system_error(std::make_error_code(std::errc::illegal_byte_sequence),
                          "text is not valid Unicode");
}

}  // namespace

std::wstring Utf8ToWide(std::string_view utf8) {
  if (utf8.empty()) return {};
  if (utf8.size() > static_cast<size_t>(INT_MAX) || !IsValidUtf8(utf8)) ThrowInvalid();
  std::wstring out;
  out.reserve(utf8.size());
  for (size_t i = 0; i < utf8.size();) {
    const auto b0 = static_cast<unsigned char>(utf8[i]);
    const size_t length = b0 < 0x80 ? 1 : b0 < 0xE0 ? 2 : b0 < 0xF0 ? 3 : 4;
    char32_t cp = length == 1   ? b0
                  : length == 2 ? (b0 & 0x1F)
                  : length == 3 ? (b0 & 0x0F)
                                : (b0 & 0x07);
    for (size_t k = 1; k < length; ++k) {
      cp = (cp << 6) | (static_cast<unsigned char>(utf8[i + k]) & 0x3F);
    }
    out.push_back(static_cast<wchar_t>(cp));
    i += length;
  }
  return out;
}

std::string WideToUtf8(std::wstring_view wide) {
  if (wide.empty()) return {};
  if (wide.size() > static_cast<size_t>(INT_MAX)) ThrowInvalid();
  std::string out;
  out.reserve(wide.size());
  for (const wchar_t w : wide) {
    const auto cp = static_cast<char32_t>(w);
    if (cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) ThrowInvalid();
    if (cp < 0x80) {
      out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
      out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
      out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
      out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
      out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
      out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
      out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
  }
  return out;
}

// Linux paths are bytes; the strict check keeps both builds refusing the same texts.
std::filesystem::path PathFromUtf8(std::string_view utf8) {
  if (!IsValidUtf8(utf8)) ThrowInvalid();
  return std::filesystem::path(std::string(utf8));
}

std::string PathToUtf8(const std::filesystem::path& path) {
  const std::string& bytes = path.native();
  if (!IsValidUtf8(bytes)) ThrowInvalid();
  return bytes;
}
