#include <gtest/gtest.h>

#include <map>
#include <string>

#include "publisher.h"

namespace {

std::string Hash(char c) { return std::string(64, c); }

ChunkList List(std::initializer_list<std::pair<uint32_t, char>> chunks) {
  ChunkList list;
  for (const auto& [size, c] : chunks) {
    list.chunks.push_back({list.fileSize, size, Hash(c)});
    list.fileSize += size;
  }
  return list;
}

ManifestFile File(const std::string& path, char sha, uint64_t size, char chunks = 0) {
  return {path, Hash(sha), size, chunks == 0 ? std::string() : Hash(chunks)};
}

Manifest Version(const std::string& name, std::vector<ManifestFile> files) {
  Manifest manifest;
  manifest.version = name;
  manifest.files = std::move(files);
  return manifest;
}

TEST(CostOfUpdate, CountsWhatEachLauncherFetches) {
  // Lists by fingerprint: 'L' the current pack's (3 chunks), 'M' the next one's (one chunk
  // changed), 'N' a pack sharing nothing, 'D' one repeating a current chunk.
  const std::map<std::string, ChunkList> lists = {
      {Hash('L'), List({{100, 'a'}, {200, 'b'}, {300, 'c'}})},
      {Hash('M'), List({{100, 'a'}, {250, 'x'}, {300, 'c'}})},
      {Hash('N'), List({{400, 'y'}, {500, 'z'}})},
      {Hash('D'), List({{300, 'c'}, {300, 'c'}})},
  };
  const uint64_t listL = 20 + 3 * 36;
  const uint64_t listN = 20 + 2 * 36;
  const Manifest current = Version("1.0", {File("pack", 'p', 600, 'L'), File("a.dll", 'd', 10)});
  struct Case {
    const char* what;
    Manifest next;
    size_t added, changed, removed;
    uint64_t whole, newChunks, listBytes, unlisted;
  };
  const Case cases[] = {
      {"nothing changed", current, 0, 0, 0, 0, 0, 0, 0},
      {"a file moved keeps its bytes",
       Version("1.1", {File("pack", 'p', 600, 'L'), File("bin/a.dll", 'd', 10)}), 1, 0, 1, 0, 0, 0,
       0},
      {"one chunk of the pack changed",
       Version("1.1", {File("pack", 'q', 650, 'M'), File("a.dll", 'd', 10)}), 0, 1, 0, 650, 250,
       listL + listL, 0},
      {"a small file changed",
       Version("1.1", {File("pack", 'p', 600, 'L'), File("a.dll", 'e', 11)}), 0, 1, 0, 11, 0, 0,
       11},
      {"a new pack shares nothing",
       Version("1.1",
               {File("pack", 'p', 600, 'L'), File("b.pak", 'n', 900, 'N'), File("a.dll", 'd', 10)}),
       1, 0, 0, 900, 900, listN + listL, 0},
      {"a repeated chunk is copied each time",
       Version("1.1", {File("pack", 'r', 600, 'D'), File("a.dll", 'd', 10)}), 0, 1, 0, 600, 0,
       20 + 2 * 36 + listL, 0},
      {"a list that is not there counts as none",
       Version("1.1", {File("pack", 'q', 650, 'Q'), File("a.dll", 'd', 10)}), 0, 1, 0, 650, 0, 0,
       650},
  };
  for (const Case& c : cases) {
    const UpdateCost cost = CostOfUpdate(&current, c.next, lists);
    EXPECT_TRUE(cost.hasCurrent) << c.what;
    EXPECT_EQ(cost.currentVersion, "1.0") << c.what;
    EXPECT_EQ(cost.added, c.added) << c.what;
    EXPECT_EQ(cost.changed, c.changed) << c.what;
    EXPECT_EQ(cost.removed, c.removed) << c.what;
    EXPECT_EQ(cost.wholeFileBytes, c.whole) << c.what;
    EXPECT_EQ(cost.newChunkBytes, c.newChunks) << c.what;
    EXPECT_EQ(cost.chunkListBytes, c.listBytes) << c.what;
    EXPECT_EQ(cost.unlistedBytes, c.unlisted) << c.what;
    EXPECT_EQ(cost.deltaBytes, c.newChunks + c.listBytes + c.unlisted) << c.what;
    uint64_t fresh = 0;
    for (const ManifestFile& file : c.next.files) fresh += file.size;
    EXPECT_EQ(cost.freshInstallBytes, fresh) << c.what;
  }

  // Without lists in the current version, a listed file is fetched whole.
  const Manifest unlisted = Version("0.9", {File("pack", 'p', 600), File("a.dll", 'd', 10)});
  const UpdateCost cost = CostOfUpdate(
      &unlisted, Version("1.1", {File("pack", 'q', 650, 'M'), File("a.dll", 'd', 10)}), lists);
  EXPECT_EQ(cost.unlistedBytes, 650u);
  EXPECT_EQ(cost.chunkListBytes, 0u);
  EXPECT_EQ(cost.newChunkBytes, 0u);
}

// With packed objects: the pack's new chunk at its packed size and its packed list (40 bytes a
// chunk) instead of its plain one; the small file's packed object whole.
TEST(CostOfUpdate, DescribesAFirstPublishAndAnUpdate) {
  Manifest next = Version("2.0", {File("pack", 'q', 650, 'M'), File("a.dll", 'd', 10)});
  next.files[0].packed = {Hash('P'), 300, Hash('W')};
  next.files[1].packed = {Hash('Z'), 8};
  ChunkList packedList = List({{100, 'a'}, {250, 'x'}, {300, 'c'}});
  packedList.packed = true;
  for (const auto& [i, size] : {std::pair{0, 40u}, {1, 200u}, {2, 60u}}) {
    packedList.chunks[i].packedSize = size;
  }
  const std::map<std::string, ChunkList> lists = {
      {Hash('L'), List({{100, 'a'}, {200, 'b'}, {300, 'c'}})},
      {Hash('M'), List({{100, 'a'}, {250, 'x'}, {300, 'c'}})},
      {Hash('W'), packedList},
  };
  EXPECT_EQ(DescribeUpdateCost(CostOfUpdate(nullptr, next, lists)),
            "No version is on the website yet.\n"
            "Fresh install: 660 bytes (0.0 MiB) in 2 files.\n"
            "Fresh install, packed: 308 bytes (0.0 MiB), 2 of the files packed.\n");
  const Manifest current = Version("1.0", {File("pack", 'p', 600, 'L'), File("b.dll", 'b', 5)});
  EXPECT_EQ(DescribeUpdateCost(CostOfUpdate(&current, next, lists)),
            "Against version 1.0 now on the website: 1 file added, 1 changed, 1 removed.\n"
            "Update with whole files: 660 bytes (0.0 MiB) in 2 files.\n"
            "Update with changed chunks: 516 bytes (0.0 MiB): 250 in 1 new chunk, 256 in 2 chunk "
            "lists, 10 in 1 whole file.\n"
            "Update with changed chunks, packed: 476 bytes (0.0 MiB): 200 in the new chunks, 268 "
            "in the chunk lists, 8 in the whole files.\n"
            "Update with patches: 476 bytes (0.0 MiB): 0 in 0 patches, 200 in the new chunks, "
            "268 in the chunk lists, 8 in the whole files.\n"
            "Fresh install: 660 bytes (0.0 MiB) in 2 files.\n"
            "Fresh install, packed: 308 bytes (0.0 MiB), 2 of the files packed.\n");

  // A patch counts where it starts from a file of the current version and beats the file's
  // packed route (the pack's: 200 in its new chunk and 140 in its packed list).
  struct Case {
    const char* what;
    size_t file;
    PatchObject patch;
    uint64_t bytes, patches, chunkLists;
  };
  const Case cases[] = {
      {"the pack from its old self", 0, {Hash('p'), Hash('X'), 120}, 128, 1, 0},
      {"the pack from a file the current version lacks",
       0,
       {Hash('z'), Hash('X'), 120},
       476,
       0,
       268},
      {"the pack by a patch larger than its chunks", 0, {Hash('p'), Hash('X'), 341}, 476, 0, 268},
      {"the library from a file at another path", 1, {Hash('b'), Hash('Y'), 5}, 473, 1, 268},
  };
  for (const Case& c : cases) {
    Manifest patched = next;
    patched.files[c.file].patches = {c.patch};
    const UpdateCost cost = CostOfUpdate(&current, patched, lists);
    EXPECT_EQ(cost.patchedDeltaBytes, c.bytes) << c.what;
    EXPECT_EQ(cost.patches, c.patches) << c.what;
    EXPECT_EQ(cost.patchedChunkListBytes, c.chunkLists) << c.what;
    EXPECT_EQ(cost.packedDeltaBytes, 476u) << c.what;
  }
}

}  // namespace
