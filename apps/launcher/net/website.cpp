#include "net/website.h"

#include <algorithm>

#include "common/text.h"

namespace {

constexpr size_t kPlayTokenLength = 32;
constexpr size_t kMaxWebsiteLength = 200;
constexpr std::string_view kSetupPrefix = "kelvadonsetup_";
constexpr std::string_view kPlainHttpHost = "http~";

bool IsWhiteSpace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

bool IsLowerHexDigit(char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); }

bool IsAsciiLetterOrDigit(char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

bool StartsWith(std::string_view text, std::string_view prefix) {
  return text.substr(0, prefix.size()) == prefix;
}

bool IsForbiddenInWebsite(char c) {
  const auto byte = static_cast<unsigned char>(c);
  return byte <= 0x20 || c == '"' || c == '<' || c == '>' || c == '\\';
}

void RemoveTrailingSpaces(std::string_view& text) {
  while (!text.empty() && text.back() == ' ') text.remove_suffix(1);
}

}  // namespace

std::string NormalizeWebsite(std::string_view text) {
  while (!text.empty() && (text.back() == '/' || IsWhiteSpace(text.back()))) {
    text.remove_suffix(1);
  }
  while (!text.empty() && IsWhiteSpace(text.front())) text.remove_prefix(1);
  if (!StartsWith(text, "http://") && !StartsWith(text, "https://")) return {};
  if (text.size() > kMaxWebsiteLength) return {};
  for (const char c : text) {
    if (IsForbiddenInWebsite(c)) return {};
  }
  // Other parts hand the address to the system as UTF-16, which has no form for broken UTF-8.
  if (!IsValidUtf8(text)) return {};
  return std::string(text);
}

bool IsValidPlayToken(std::string_view text) {
  if (text.size() != kPlayTokenLength) return false;
  for (const char c : text) {
    if (!IsLowerHexDigit(c)) return false;
  }
  return true;
}
SetupNameInfo ParseSetupFileName(std::string_view fileName) {
  std::string_view name = fileName;
  if (name.size() >= 5 && AsciiLower(name.substr(name.size() - 4)) == ".exe") {
    name.remove_suffix(4);
  }

  // Browsers save a second download of the same name as "name (1).exe"; only one such suffix is
  // taken off.
  RemoveTrailingSpaces(name);
  if (!name.empty() && name.back() == ')') {
    const size_t open = name.rfind('(');
    if (open != std::string_view::npos) {
      const std::string_view digits = name.substr(open + 1, name.size() - open - 2);
      bool allDigits = !digits.empty();
      for (const char c : digits) {
        if (c < '0' || c > '9') allDigits = false;
      }
      if (allDigits) {
        name = name.substr(0, open);
        RemoveTrailingSpaces(name);
      }
    }
  }

  SetupNameInfo info;
  if (AsciiLower(name.substr(0, kSetupPrefix.size())) != kSetupPrefix) return info;
  const std::string_view rest = name.substr(kSetupPrefix.size());
  const size_t underscore = rest.find('_');
  std::string_view host = rest.substr(0, underscore);
  const std::string_view token =
      underscore == std::string_view::npos ? std::string_view() : rest.substr(underscore + 1);

  for (const char c : host) {
    if (!IsAsciiLetterOrDigit(c) && c != '+' && c != '-' && c != '.' && c != '[' && c != ']' &&
        c != '~') {
      return info;
    }
  }
  std::string website = "https://";
  if (StartsWith(host, kPlainHttpHost)) {
    host.remove_prefix(kPlainHttpHost.size());
    website = "http://";
  }
  if (host.empty()) return info;
  // A file name cannot hold ":", so "+" stands for it, in a port as in an IPv6 literal.
  for (const char c : host) website += c == '+' ? ':' : c;
  info.website = NormalizeWebsite(website);
  if (!info.website.empty() && IsValidPlayToken(token)) info.play = std::string(token);
  return info;
}
