// The free-space figure of both back-ends and the sentence of a refused update, the same cases in
// both builds.
#include "files/disk_space.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <limits>
#include <string>

#include "files/disk.h"
#include "tests/update/test_website.h"

namespace fs = std::filesystem;

namespace {

constexpr uint64_t kMB = uint64_t{1024} * 1024;
constexpr uint64_t kGB = kMB * 1024;

TEST(DiskSpace, SizesReadAsWindowsShowsThem) {
  const struct {
    uint64_t bytes;
    const char* up;
    const char* down;
  } cases[] = {
      {0, "0 MB", "0 MB"},
      {1, "1 MB", "0 MB"},
      {kMB, "1 MB", "1 MB"},
      {kMB + 1, "2 MB", "1 MB"},
      {1023 * kMB, "1023 MB", "1023 MB"},
      {1023 * kMB + 1, "1.0 GB", "1023 MB"},
      {kGB, "1.0 GB", "1.0 GB"},
      {kGB + 1, "1.1 GB", "1.0 GB"},
      {kGB * 21 / 10, "2.1 GB", "2.0 GB"},  // 2.1 is not a whole number of bytes
      {kGB * 4 + kGB / 2, "4.5 GB", "4.5 GB"},
      {std::numeric_limits<uint64_t>::max(), "17179869184.0 GB", "17179869183.9 GB"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.bytes);
    EXPECT_EQ(SizeText(c.bytes, true), c.up);
    EXPECT_EQ(SizeText(c.bytes, false), c.down);
  }
  EXPECT_EQ(NoRoomText(kGB * 21 / 10, 800 * kMB + 5),
            "The disk is too full: Kelvadon needs 2.1 GB and only 800 MB is free");
}

TEST(DiskSpace, TheFreeFigureOfADrive) {
  const fs::path scratch = MakeScratchFolder("kelvadon-disk-space-");
  ASSERT_FALSE(scratch.empty());
  uint64_t free = 1;
  EXPECT_EQ(FreeDiskBytes(scratch, free), 0);
  const fs::space_info space = fs::space(scratch);
  // Other programs write meanwhile; the figure only has to be the same drive's.
  EXPECT_GT(free, 0u);
  EXPECT_LE(free > space.available ? free - space.available : space.available - free, kGB);

  uint64_t untouched = 12345;
  EXPECT_NE(FreeDiskBytes(scratch / "missing" / "folder", untouched), 0);
  EXPECT_EQ(untouched, 12345u);

  std::string error = "untouched";
  EXPECT_TRUE(HasRoomFor(scratch, 0, error));
  EXPECT_EQ(error, "untouched");
  // The margin is counted too: the free space itself does not fit.
  EXPECT_FALSE(HasRoomFor(scratch, free, error));
  EXPECT_EQ(error.rfind("The disk is too full: Kelvadon needs ", 0), 0u) << error;
  // A drive whose free space cannot be read lets the writes tell.
  error.clear();
  EXPECT_TRUE(HasRoomFor(scratch / "missing", std::numeric_limits<uint64_t>::max(), error));
  EXPECT_EQ(error, "");
  std::error_code ec;
  fs::remove_all(scratch, ec);
}

}  // namespace
