#include "chunker.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstring>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "files/file_io.h"
#include "update/trust/crypto.h"

namespace fs = std::filesystem;

namespace {

// Reproducible noise, like a compressed pack.
std::string Noise(size_t size, uint64_t seed) {
  std::string bytes(size, '\0');
  uint64_t state = seed;
  for (size_t i = 0; i < size; i += 8) {
    uint64_t z = (state += 0x9e3779b97f4a7c15ull);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
    z ^= z >> 31;
    std::memcpy(&bytes[i], &z, std::min<size_t>(8, size - i));
  }
  return bytes;
}

std::vector<uint32_t> Sizes(const ChunkList& list) {
  std::vector<uint32_t> sizes;
  for (const Chunk& chunk : list.chunks) sizes.push_back(chunk.size);
  return sizes;
}

// Every rule a list of cuts must obey, against the bytes it was cut from.
void ExpectSoundCuts(const ChunkList& list, std::string_view bytes, const ChunkSizes& sizes,
                     const char* what) {
  EXPECT_EQ(list.fileSize, bytes.size()) << what;
  uint64_t offset = 0;
  for (size_t i = 0; i < list.chunks.size(); ++i) {
    const Chunk& chunk = list.chunks[i];
    ASSERT_EQ(chunk.offset, offset) << what << ", chunk " << i;
    EXPECT_LE(chunk.size, sizes.maximum) << what << ", chunk " << i;
    EXPECT_GT(chunk.size, 0u) << what << ", chunk " << i;
    if (i + 1 < list.chunks.size()) {
      EXPECT_GE(chunk.size, sizes.minimum) << what << ", chunk " << i;
    }
    EXPECT_EQ(chunk.sha256, Sha256Hex(bytes.substr(chunk.offset, chunk.size)))
        << what << ", chunk " << i;
    offset += chunk.size;
  }
  EXPECT_EQ(offset, bytes.size()) << what;
}

TEST(Chunker, MinimumAndMaximumHold) {
  const ChunkSizes tiny{64, 256, 1024};
  const ChunkSizes tight{4096, 4096, 4096};
  std::string pattern;
  while (pattern.size() < (3u << 20)) pattern += "pak-record-0123456789";
  struct Case {
    const char* what;
    std::string bytes;
    ChunkSizes sizes;
  };
  const Case cases[] = {
      {"noise", Noise(3 << 20, 1), kChunkSizes},
      // The hash of a run of one byte value settles and never cuts: the maximum must.
      {"zeros", std::string(3 << 20, '\0'), kChunkSizes},
      {"a repeated record", pattern, kChunkSizes},
      {"noise, small sizes", Noise(200000, 2), tiny},
      {"zeros, small sizes", std::string(200000, '\0'), tiny},
      {"minimum equal to maximum", Noise(100000, 3), tight},
      {"one byte past a maximum", Noise(kChunkSizes.maximum + 1, 4), kChunkSizes},
  };
  for (const Case& c : cases) {
    const ChunkList list = ChunkBytes(c.bytes, c.sizes);
    ExpectSoundCuts(list, c.bytes, c.sizes, c.what);
  }
  // Runs of zeros cut at exactly the maximum, so the cap is really reached.
  const ChunkList zeros = ChunkBytes(std::string(3 << 20, '\0'));
  EXPECT_EQ(zeros.chunks.size(), 12u);
  EXPECT_EQ(zeros.chunks[0].size, kChunkSizes.maximum);
  // Noise cuts near the average, not at the limits.
  const ChunkList noise = ChunkBytes(Noise(16 << 20, 5));
  const double mean = 16.0 * (1 << 20) / static_cast<double>(noise.chunks.size());
  EXPECT_GT(mean, 0.75 * kChunkSizes.average);
  EXPECT_LT(mean, 1.5 * kChunkSizes.average);
}

TEST(Chunker, ShortAndEmptyInput) {
  const ChunkList empty = ChunkBytes("");
  EXPECT_EQ(empty.fileSize, 0u);
  EXPECT_TRUE(empty.chunks.empty());
  for (const size_t size : {size_t{1}, size_t{1000}, size_t{kChunkSizes.minimum}}) {
    const std::string bytes = Noise(size, size);
    const ChunkList list = ChunkBytes(bytes);
    ASSERT_EQ(list.chunks.size(), 1u) << size;
    EXPECT_EQ(list.chunks[0].size, size);
    EXPECT_EQ(list.chunks[0].sha256, Sha256Hex(bytes));
  }
  // One byte past the minimum may cut only at its end.
  const std::string bytes = Noise(kChunkSizes.minimum + 1, 9);
  EXPECT_EQ(Sizes(ChunkBytes(bytes)), std::vector<uint32_t>{kChunkSizes.minimum + 1});
}

TEST(Chunker, SameBytesSameCutsHoweverTheyArrive) {
  const std::string bytes = Noise(3 << 20, 11);
  const ChunkList whole = ChunkBytes(bytes);
  ASSERT_GT(whole.chunks.size(), 20u);
  // Pieces smaller than a chunk, of odd lengths, of exactly the buffer's room and larger.
  for (const size_t piece :
       {size_t{1} << 0, size_t{4093}, size_t{65536}, size_t{1} << 20, size_t{3} << 20}) {
    size_t at = 0;
    const ChunkSource source = [&](char* buffer, size_t capacity, size_t& got) {
      got = std::min({capacity, piece, bytes.size() - at});
      std::memcpy(buffer, bytes.data() + at, got);
      at += got;
      return true;
    };
    ChunkList list;
    ASSERT_TRUE(CutIntoChunks(source, kChunkSizes, list)) << piece;
    ASSERT_EQ(list.chunks.size(), whole.chunks.size()) << piece;
    for (size_t i = 0; i < list.chunks.size(); ++i) {
      EXPECT_EQ(list.chunks[i].size, whole.chunks[i].size) << piece << ", chunk " << i;
      EXPECT_EQ(list.chunks[i].sha256, whole.chunks[i].sha256) << piece << ", chunk " << i;
    }
  }
  // The cuts are part of what is published: a change to the hash or its table would make every
  // launcher fetch each chunked file whole once, so they are pinned here.
  const std::vector<uint32_t> sizes = Sizes(whole);
  EXPECT_EQ(std::vector<uint32_t>(sizes.begin(), sizes.begin() + 6),
            (std::vector<uint32_t>{75862, 72600, 77140, 69364, 69676, 91488}));
}

TEST(Chunker, AnEditMovesOnlyNearbyCuts) {
  const std::string old = Noise(8 << 20, 21);
  std::set<std::string> oldChunks;
  for (const Chunk& chunk : ChunkBytes(old).chunks) oldChunks.insert(chunk.sha256);
  const size_t at = (5 << 20) + 12345;
  struct Case {
    const char* what;
    std::string bytes;
    size_t editLength;  // bytes of the new file that are new
  };
  const Case cases[] = {
      {"100 bytes inserted", old.substr(0, at) + Noise(100, 22) + old.substr(at), 100},
      {"one byte inserted", old.substr(0, at) + "x" + old.substr(at), 1},
      {"64 KiB removed", old.substr(0, at) + old.substr(at + 65536), 0},
      {"4 KiB overwritten", old.substr(0, at) + Noise(4096, 23) + old.substr(at + 4096), 4096},
  };
  for (const Case& c : cases) {
    const ChunkList list = ChunkBytes(c.bytes);
    uint64_t newBytes = 0;
    for (const Chunk& chunk : list.chunks) {
      if (oldChunks.contains(chunk.sha256)) continue;
      newBytes += chunk.size;
      // A chunk that changed lies within a maximum chunk of the edit.
      EXPECT_LT(chunk.offset, at + c.editLength + kChunkSizes.maximum) << c.what;
      EXPECT_GT(chunk.offset + chunk.size + kChunkSizes.maximum, at) << c.what;
    }
    EXPECT_GT(newBytes, 0u) << c.what;
    EXPECT_LE(newBytes, c.editLength + 2 * kChunkSizes.maximum) << c.what;
  }
}

TEST(Chunker, RefusesAFailingSourceAndUnusableSizes) {
  ChunkList list;
  list.fileSize = 77;
  int calls = 0;
  const ChunkSource failsLater = [&](char* buffer, size_t capacity, size_t& got) {
    got = std::min<size_t>(capacity, 1000);
    std::memset(buffer, 'a', got);
    return ++calls < 3;
  };
  EXPECT_FALSE(CutIntoChunks(failsLater, kChunkSizes, list));
  // A source that claims more than it was given room for.
  const ChunkSource overflows = [](char*, size_t capacity, size_t& got) {
    got = capacity + 1;
    return true;
  };
  EXPECT_FALSE(CutIntoChunks(overflows, kChunkSizes, list));
  const ChunkSource empty = [](char*, size_t, size_t& got) {
    got = 0;
    return true;
  };
  const ChunkSizes unusable[] = {
      {0, 64 << 10, 256 << 10},          // no minimum
      {16 << 10, 48 << 10, 256 << 10},   // average not a power of two
      {128 << 10, 64 << 10, 256 << 10},  // minimum above the average
      {16 << 10, 64 << 10, 32 << 10},    // maximum below the average
      {16 << 10, 64 << 10, 2u << 20},    // maximum above what a launcher accepts
  };
  for (const ChunkSizes& sizes : unusable) {
    EXPECT_FALSE(CutIntoChunks(empty, sizes, list)) << sizes.minimum << "/" << sizes.average;
  }
  EXPECT_EQ(list.fileSize, 77u);
  EXPECT_TRUE(list.chunks.empty());
}

TEST(Chunker, FileInPiecesMatchesBytesAndListReadsBack) {
  std::string pattern = (fs::temp_directory_path() / "kelvadon-chunker-test-XXXXXX").string();
  ASSERT_NE(mkdtemp(pattern.data()), nullptr);
  const fs::path folder = pattern;
  const std::string bytes = Noise((2 << 20) + 333, 31);
  ASSERT_TRUE(WriteWholeFile(folder / "pack.bin", bytes));
  ChunkList fromFile;
  std::string error;
  ASSERT_TRUE(ChunkFile(folder / "pack.bin", kChunkSizes, fromFile, error)) << error;
  const ChunkList fromBytes = ChunkBytes(bytes);
  EXPECT_EQ(SerializeChunkList(fromFile), SerializeChunkList(fromBytes));
  ChunkList again;
  ASSERT_TRUE(ParseChunkList(SerializeChunkList(fromFile), again));
  ExpectSoundCuts(again, bytes, kChunkSizes, "read back");

  EXPECT_FALSE(ChunkFile(folder / "missing.bin", kChunkSizes, fromFile, error));
  EXPECT_NE(error.find("missing.bin"), std::string::npos) << error;
  // A folder opens on Linux but cannot be read.
  error.clear();
  EXPECT_FALSE(ChunkFile(folder, kChunkSizes, fromFile, error));
  EXPECT_FALSE(error.empty());
  RemovePathTree(folder);
}

}  // namespace
