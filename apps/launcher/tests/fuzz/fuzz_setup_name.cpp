// Any file name gives a website address that is already normalised, and a play token only next
// to a website.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "net/website.h"

namespace {

void Check(bool condition) {
  if (!condition) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view name(reinterpret_cast<const char*>(data), size);
  const SetupNameInfo info = ParseSetupFileName(name);
  Check(info.website.empty() || NormalizeWebsite(info.website) == info.website);
  Check(info.play.empty() || !info.website.empty());
  Check(info.play.empty() || IsValidPlayToken(info.play));
  return 0;
}
