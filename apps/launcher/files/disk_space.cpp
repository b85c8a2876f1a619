#include "files/disk_space.h"

#include <limits>

#include "files/disk.h"

namespace {

constexpr uint64_t kMegabyte = uint64_t{1024} * 1024;
constexpr uint64_t kGigabyte = kMegabyte * 1024;

uint64_t Divide(uint64_t bytes, uint64_t unit, bool roundUp) {
  return bytes / unit + (roundUp && bytes % unit != 0 ? 1 : 0);
}

}  // namespace

uint64_t RoomMargin(uint64_t bytes) { return 8 * kMegabyte + bytes / 100; }

bool HasRoomFor(const std::filesystem::path& folder, uint64_t bytes, std::string& error) {
  uint64_t free = 0;
  if (FreeDiskBytes(folder, free) != 0) return true;
  const uint64_t margin = RoomMargin(bytes);
  const uint64_t needed =
      bytes > std::numeric_limits<uint64_t>::max() - margin ? bytes : bytes + margin;
  if (needed <= free) return true;
  error = NoRoomText(needed, free);
  return false;
}

std::string NoRoomText(uint64_t needed, uint64_t free) {
  return "The disk is too full: Kelvadon needs " + SizeText(needed, true) + " and only " +
         SizeText(free, false) + " is free";
}

std::string SizeText(uint64_t bytes, bool roundUp) {
  // Tenths of a GB, counted the same way, so that 1023.9 MB rounded up reads as 1.0 GB.
  const uint64_t megabytes = Divide(bytes, kMegabyte, roundUp);
  if (megabytes < 1024) return std::to_string(megabytes) + " MB";
  const uint64_t tenths =
      bytes / kGigabyte * 10 + Divide(bytes % kGigabyte * 10, kGigabyte, roundUp);
  return std::to_string(tenths / 10) + "." + std::to_string(tenths % 10) + " GB";
}
