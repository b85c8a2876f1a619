// Any byte image gives stamp readings that agree with each other and never point outside it.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "net/stamp.h"
#include "net/website.h"

namespace {

void Check(bool condition) {
  if (!condition) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view image(reinterpret_cast<const char*>(data), size);
  const std::string website = ReadWebsiteStamp(image);
  const std::optional<size_t> play = FindPlayStamp(image);
  const std::string token = ReadPlayStamp(image);
  const std::optional<size_t> start = StampStart(image);

  Check(website.empty() != start.has_value());
  Check(website.empty() || NormalizeWebsite(website) == website);
  if (start) Check(*start < size);
  Check(token.empty() || IsValidPlayToken(token));
  Check(token.empty() != play.has_value());
  // A play part is where the stamp begins, and only a stamp with a website has one.
  if (play) Check(start == play);
  // The clean image never grows, is the whole image without a stamp, and otherwise ends where the
  // stamp begins or, for a stamp inside a certificate table, at most 7 bytes before.
  const std::string clean = CleanImageOf(image);
  Check(clean.size() <= size);
  if (!start) Check(clean == image);
  if (start) Check(clean.size() <= *start && clean.size() + 8 > *start);
  return 0;
}
