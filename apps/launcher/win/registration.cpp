#include <limits>

#include "win/registration.h"

uint32_t EstimatedSizeKilobytes(uint64_t bytes) {
  const uint64_t kilobytes = bytes / 1024 + 1;
  constexpr uint64_t kLargest = std::numeric_limits<uint32_t>::max();
  return static_cast<uint32_t>(kilobytes > kLargest ? kLargest : kilobytes);
}
