#pragma once

#include <filesystem>
#include <string>
#include <string_view>

// Strict conversions between UTF-8 and the platform's wide text (UTF-16 on Windows, UTF-32 on
// Linux). Invalid input throws std::system_error; no character is ever replaced.
std::wstring Utf8ToWide(std::string_view utf8);
std::string WideToUtf8(std::wstring_view wide);

// Paths: UTF-16 on Windows, bytes on Linux. Both throw std::system_error on text that cannot be
// converted.
std::filesystem::path PathFromUtf8(std::string_view utf8);
std::string PathToUtf8(const std::filesystem::path& path);

// Portable helpers.
bool IsValidUtf8(std::string_view text);
// ASCII letters in lower case; every other byte as it is.
std::string AsciiLower(std::string_view text);
// The last element of a path as UTF-8; empty when it cannot be converted.
std::string FileNameAsUtf8(const std::filesystem::path& path);
// For display only: every byte sequence that is not valid UTF-8 becomes U+FFFD.
std::string ReplaceInvalidUtf8(std::string_view text);
