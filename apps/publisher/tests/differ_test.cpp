#include "differ.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>

#include "update/trust/patch.h"

namespace {

std::string Noise(size_t size, uint32_t seed) {
  std::mt19937 random(seed);
  std::string bytes(size, '\0');
  for (char& byte : bytes) byte = static_cast<char>(random());
  return bytes;
}

// Applies patch to old in pieces of cut bytes; false when the applier refused or did not end.
bool Apply(const std::string& old, const std::string& patch, size_t cut, std::string& next) {
  next.clear();
  PatchState state = StartPatch(old.size());
  const OldFileReader read = [&](uint64_t offset, char* buffer, size_t size) {
    if (offset > old.size() || size > old.size() - offset) return false;
    std::copy_n(old.data() + offset, size, buffer);
    return true;
  };
  const PatchOutput write = [&](const char* data, size_t size) {
    next.append(data, size);
    return true;
  };
  for (size_t at = 0; at < patch.size(); at += cut) {
    if (!ApplyPatchBytes(state, patch.data() + at, std::min(cut, patch.size() - at), read, write)) {
      return false;
    }
  }
  return PatchComplete(state);
}

// A build moved by a rebuild: every 4-byte "address" shifted, a block inserted, one removed.
std::string Rebuilt(const std::string& old) {
  std::string next = old;
  for (size_t i = 0; i + 4 <= next.size(); i += 64) next[i] = static_cast<char>(next[i] + 16);
  next.insert(next.size() / 3, Noise(5000, 9));
  next.erase(next.size() / 2, 3000);
  return next;
}

TEST(Differ, PatchesRebuildTheNewFileHoweverTheyArrive) {
  const std::string old = Noise(300000, 1);
  struct Case {
    const char* what;
    std::string old;
    std::string next;
  };
  const Case cases[] = {
      {"a rebuild", old, Rebuilt(old)},
      {"the same file", old, old},
      {"nothing in common", old, Noise(1000, 2)},
      {"from an empty file", "", Noise(1000, 3)},
      {"to an empty file", old, ""},
  };
  for (const Case& c : cases) {
    const std::string patch = MakePatch(c.old, c.next);
    for (const size_t cut : {size_t{1}, size_t{7}, patch.size()}) {
      std::string next;
      ASSERT_TRUE(Apply(c.old, patch, cut, next)) << c.what << " " << cut;
      EXPECT_EQ(next, c.next) << c.what << " " << cut;
    }
  }
}

TEST(Differ, TheApplierRefusesWhatIsNotAWholePatchForThatFile) {
  const std::string old = Noise(50000, 4);
  const std::string patch = MakePatch(old, Rebuilt(old));
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
    EXPECT_FALSE(Apply(c.old, c.patch, 5, next)) << c.what;
  }
}

}  // namespace
