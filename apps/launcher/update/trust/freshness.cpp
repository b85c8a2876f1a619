#include "update/trust/freshness.h"

#include <algorithm>

std::string FreshnessProblem(const Manifest& manifest, std::optional<uint64_t> remembered,
                             uint64_t minimum, int64_t now) {
  // Once a sequence is known, or the build demands one, a manifest without one is as old as any.
  const bool demanded = remembered || minimum > 0;
  const uint64_t lowest = std::max(remembered.value_or(0), minimum);
  if (demanded && (!manifest.sequence || *manifest.sequence < lowest)) {
    return "The update is older than one already seen on this computer, so it wasn't installed";
  }
  // Subtracting only when now is the later time keeps a clock at either end of its range from
  // wrapping.
  if (manifest.expires && now > *manifest.expires &&
      now - *manifest.expires > kExpiryLeewaySeconds) {
    return "The update has expired, so it wasn't installed: check this computer's date and time";
  }
  return {};
}
