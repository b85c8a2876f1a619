// The installed size behind the uninstall entry's "EstimatedSize", in both builds.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>

#include "win/registration.h"

namespace {

namespace fs = std::filesystem;

void PutFile(const fs::path& path, size_t size) {
  fs::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary) << std::string(size, 'x');
}

TEST(EstimatedSizeKilobytes, IsWholeKilobytesPlusOneAndNeverWrapsRound) {
  constexpr uint64_t kLargest = 0xFFFFFFFFu;
  const struct {
    uint64_t bytes;
    uint32_t kilobytes;
  } cases[] = {
      {0, 1},
      {1023, 1},
      {1024, 2},
      {8048, 8},
      {(kLargest - 1) * 1024 + 1023, 0xFFFFFFFFu},  // the last size that fits exactly
      {kLargest * 1024, 0xFFFFFFFFu},               // would wrap round to 0 without the limit
      {UINT64_MAX, 0xFFFFFFFFu},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(EstimatedSizeKilobytes(c.bytes), c.kilobytes) << c.bytes;
  }
}

class InstalledSize : public testing::Test {
 protected:
  void SetUp() override {
    folder_ = fs::temp_directory_path() /
              ("kelvadon-size-" +
               std::to_string(std::chrono::steady_clock::now().time_since_epoch().count()));
    std::error_code ec;
    fs::remove_all(folder_, ec);
  }
  void TearDown() override {
    std::error_code ec;
    fs::remove_all(folder_, ec);
  }
  fs::path folder_;
};

TEST_F(InstalledSize, AddsEveryFileBelowTheFolder) {
  EXPECT_EQ(InstalledSizeBytes(folder_ / "Versions"), 0u) << "missing folder";
  fs::create_directories(folder_ / "Versions");
  EXPECT_EQ(InstalledSizeBytes(folder_ / "Versions"), 0u) << "empty folder";

  PutFile(folder_ / "Versions" / "1.5" / "kelvadon_player.exe", 1000);
  PutFile(folder_ / "Versions" / "1.5" / "content" / "textures" / "sky.png", 2048);
  PutFile(folder_ / "Versions" / "1.5" / "empty.txt", 0);
  PutFile(folder_ / "Versions" / "1.4" / "kelvadon_studio.exe", 5000);
  fs::create_directories(folder_ / "Versions" / "1.3" / "empty folder");
  PutFile(folder_ / "outside.bin", 100000);
  EXPECT_EQ(InstalledSizeBytes(folder_ / "Versions"), 8048u);
}

TEST_F(InstalledSize, DoesNotFollowALinkToAFolder) {
  PutFile(folder_ / "elsewhere" / "big.bin", 100000);
  PutFile(folder_ / "Versions" / "1.5" / "kelvadon_player.exe", 1000);
  std::error_code ec;
  fs::create_directory_symlink(folder_ / "elsewhere", folder_ / "Versions" / "1.5" / "link", ec);
  if (ec) GTEST_SKIP() << "no folder links here: " << ec.message();
  EXPECT_EQ(InstalledSizeBytes(folder_ / "Versions"), 1000u);
}

}  // namespace
