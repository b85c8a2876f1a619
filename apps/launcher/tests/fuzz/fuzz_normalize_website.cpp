// Any text either normalises to an address that keeps every promise of a website address, or
// to nothing; and normalising twice changes nothing.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "common/text.h"
#include "net/website.h"

namespace {

void Check(bool condition) {
  if (!condition) __builtin_trap();
}

bool StartsWith(std::string_view text, std::string_view prefix) {
  return text.substr(0, prefix.size()) == prefix;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  const std::string website = NormalizeWebsite(input);
  if (website.empty()) return 0;
  Check(StartsWith(website, "http://") || StartsWith(website, "https://"));
  Check(website.size() <= 200);
  for (const char c : website) {
    Check(static_cast<unsigned char>(c) > 0x20);
    Check(c != '"' && c != '<' && c != '>' && c != '\\');
  }
  Check(website.back() != '/');
  Check(IsValidUtf8(website));
  Check(NormalizeWebsite(website) == website);
  return 0;
}
