#include "differ.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <random>
#include <string>

#include "publisher_test_support.h"
#include "update/trust/packed.h"

namespace {

std::string Noise(size_t size, uint32_t seed) {
  std::mt19937 random(seed);
  std::string bytes(size, '\0');
  for (char& byte : bytes) byte = static_cast<char>(random());
  return bytes;
}

TEST(Differ, PatchesRebuildTheNewFileHoweverTheyArrive) {
  const std::string old = Noise(300000, 1);
  struct Case {
    const char* what;
    std::string old;
    std::string next;
  };
  const Case cases[] = {
      {"a rebuild", old, Rebuilt(old, Noise(5000, 9))},
      {"the same file", old, old},
      {"nothing in common", old, Noise(1000, 2)},
      {"from an empty file", "", Noise(1000, 3)},
      {"to an empty file", old, ""},
  };
  for (const Case& c : cases) {
    const std::string patch = MakePatch(c.old, c.next);
    for (const size_t cut : {size_t{1}, size_t{7}, patch.size()}) {
      std::string next;
      ASSERT_TRUE(ApplyPatch(c.old, patch, cut, next)) << c.what << " " << cut;
      EXPECT_EQ(next, c.next) << c.what << " " << cut;
    }
  }
}

TEST(Differ, TheApplierRefusesWhatIsNotAWholePatchForThatFile) {
  const std::string old = Noise(50000, 4);
  const std::string patch = MakePatch(old, Rebuilt(old, Noise(5000, 9)));
  std::string longer = patch;
  longer[8] = static_cast<char>(longer[8] - 1);  // the header's new size one byte short
  struct Case {
    const char* what;
    std::string old;
    std::string patch;
  };
  const Case cases[] = {
      {"cut short", old, patch.substr(0, patch.size() - 1)},
      {"another old file, shorter", old.substr(0, 1000), patch},
      {"writing past the header's size", old, longer},
      {"another magic", old, "KVPU" + patch.substr(4)},
      {"a byte after the last record", old, patch + std::string(1, '\x01')},
  };
  for (const Case& c : cases) {
    std::string next;
    EXPECT_FALSE(ApplyPatch(c.old, c.patch, 5, next)) << c.what;
  }
}

// Two builds of one program that every machine with git has: the library of the same version
// against two TLS libraries.
TEST(Differ, RebuildsOneRealLibraryFromItsOtherBuild) {
  const std::filesystem::path folder = "/usr/lib/x86_64-linux-gnu";
  std::error_code ec;
  const std::filesystem::path oldFile = std::filesystem::canonical(folder / "libcurl.so.4", ec);
  const std::filesystem::path nextFile =
      std::filesystem::canonical(folder / "libcurl-gnutls.so.4", ec);
  if (ec) GTEST_SKIP() << "this machine lacks one of the two builds of libcurl";
  const std::string old = Read(oldFile);
  const std::string next = Read(nextFile);
  const std::string patch = MakePatch(old, next);
  std::string rebuilt;
  ASSERT_TRUE(ApplyPatch(old, patch, 65536, rebuilt));
  EXPECT_TRUE(rebuilt == next);
  // What the launcher fetches: far less than the packed library.
  EXPECT_LT(PackBytes(patch).size() * 2, PackBytes(next).size());
}

}  // namespace
