#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "update/trust/packed.h"

// A packed piece as fetched from a website, arriving in pieces of any size. Besides crashes,
// hangs and undefined behaviour, checks what the fetch relies on: the inflated bytes never grow
// past the ceiling, do not depend on how the input was cut, and what inflates packs back to
// something that inflates to the same bytes.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  // The first byte cuts the rest into pieces of that many bytes (at least one).
  const size_t cut = data[0] + size_t{1};
  const std::string_view input(reinterpret_cast<const char*>(data + 1), size - 1);
  constexpr uint64_t kMost = uint64_t{1} << 20;

  std::string whole;
  const bool good = UnpackBytes(input, kMost, whole);
  if (whole.size() > kMost) std::abort();

  PackedReader reader = StartPackedReader();
  std::string pieces;
  bool read = true;
  for (size_t at = 0; at < input.size() && read; at += cut) {
    const std::string_view piece = input.substr(at, cut);
    read = ReadPacked(reader, piece.data(), piece.size(), [&](const char* bytes, size_t count) {
      if (count > kMost - pieces.size()) return false;
      pieces.append(bytes, count);
      return true;
    });
  }
  if ((read && PackedReaderAtEnd(reader)) != good) std::abort();
  if (good && pieces != whole) std::abort();
  if (good) {
    std::string again;
    if (!UnpackBytes(PackBytes(whole), kMost, again) || again != whole) std::abort();
  }
  return 0;
}
