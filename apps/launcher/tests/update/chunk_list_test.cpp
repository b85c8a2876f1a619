#include "update/trust/chunk_list.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

const std::string kHashA = "00112233445566778899aabbccddeeff00112233445566778899aabbccddeeff";
const std::string kHashB = "fedcba9876543210fedcba9876543210fedcba9876543210fedcba9876543210";

std::string LittleEndian(uint64_t value, size_t width) {
  std::string out;
  for (size_t i = 0; i < width; ++i) out.push_back(static_cast<char>((value >> (8 * i)) & 0xff));
  return out;
}

std::string Header(uint64_t fileSize, uint64_t count, std::string_view magic = "KVCL",
                   uint32_t version = 1) {
  return std::string(magic) + LittleEndian(version, 4) + LittleEndian(fileSize, 8) +
         LittleEndian(count, 4);
}

std::string Entry(uint64_t size, char digestByte = '\x5a') {
  return LittleEndian(size, 4) + std::string(32, digestByte);
}

// An entry of format 2: the chunk's size, its packed size, its digest.
std::string PackedEntry(uint64_t size, uint64_t packedSize) {
  return LittleEndian(size, 4) + LittleEndian(packedSize, 4) + std::string(32, '\x5a');
}

ChunkList Junk() {
  ChunkList junk;
  junk.fileSize = 77;
  junk.chunks = {{5, 77, "junk"}};
  return junk;
}

TEST(ParseChunkList, RefusesBadInput) {
  struct Case {
    const char* what;
    std::string bytes;
  };
  const Case cases[] = {
      {"empty", ""},
      {"header cut short", Header(0, 0).substr(0, 19)},
      {"other magic", Header(10, 1, "KVCM") + Entry(10)},
      {"lower-case magic", Header(10, 1, "kvcl") + Entry(10)},
      {"version 0", Header(10, 1, "KVCL", 0) + Entry(10)},
      {"version 3", Header(10, 1, "KVCL", 3) + PackedEntry(10, 5)},
      {"version 2 with entries of version 1", Header(10, 1, "KVCL", 2) + Entry(10)},
      {"version 1 with entries of version 2", Header(10, 1) + PackedEntry(10, 5)},
      {"packed size 0", Header(10, 1, "KVCL", 2) + PackedEntry(10, 0)},
      {"packed size above the cap",
       Header(10, 1, "KVCL", 2) + PackedEntry(10, uint64_t{kMaxPackedChunkBytes} + 1)},
      {"count above the entries", Header(10, 2) + Entry(10)},
      {"count below the entries", Header(20, 1) + Entry(10) + Entry(10)},
      {"entry cut short", Header(10, 1) + Entry(10).substr(0, 35)},
      {"a byte after the last entry", Header(10, 1) + Entry(10) + "x"},
      {"chunk of size 0", Header(10, 2) + Entry(10) + Entry(0)},
      {"chunk above the cap", Header(uint64_t{kMaxChunkBytes} + 1, 1) + Entry(kMaxChunkBytes + 1)},
      {"sizes short of the file", Header(11, 1) + Entry(10)},
      {"sizes beyond the file", Header(9, 1) + Entry(10)},
      {"no chunks for a non-empty file", Header(1, 0)},
      {"count of 2^32 - 1 with one entry", Header(10, 0xffffffff) + Entry(10)},
      // Sizes that would wrap a 64-bit sum back to the file size if added unchecked.
      {"file size near 2^64",
       Header(~uint64_t{0}, 2) + Entry(kMaxChunkBytes) + Entry(kMaxChunkBytes)},
  };
  for (const Case& c : cases) {
    ChunkList list = Junk();
    EXPECT_FALSE(ParseChunkList(c.bytes, list)) << c.what;
    EXPECT_EQ(list.fileSize, 77u) << c.what;
    ASSERT_EQ(list.chunks.size(), 1u) << c.what;
    EXPECT_EQ(list.chunks[0].sha256, "junk") << c.what;
  }
}

TEST(ParseChunkList, RefusesMoreThanTheCeiling) {
  // Well-formed lists of 1-byte chunks: the largest that fits, and one entry more.
  const uint64_t fits = (kMaxChunkListBytes - 20) / 36;
  for (const uint64_t count : {fits, fits + 1}) {
    std::string bytes(20 + 36 * count, '\0');
    bytes.replace(0, 20, Header(count, count));
    for (uint64_t i = 0; i < count; ++i) bytes[20 + 36 * i] = '\x01';
    ChunkList list = Junk();
    if (count == fits) {
      EXPECT_LE(bytes.size(), kMaxChunkListBytes);
      EXPECT_TRUE(ParseChunkList(bytes, list));
      EXPECT_EQ(list.chunks.size(), count);
    } else {
      EXPECT_GT(bytes.size(), kMaxChunkListBytes);
      EXPECT_FALSE(ParseChunkList(bytes, list));
      EXPECT_EQ(list.fileSize, 77u);
    }
  }
}

TEST(ParseChunkList, ReadsEntriesAndFillsOffsets) {
  const std::string bytes =
      Header(uint64_t{kMaxChunkBytes} + 3, 2) + Entry(3, '\x01') + Entry(kMaxChunkBytes, '\xfe');
  ChunkList list;
  ASSERT_TRUE(ParseChunkList(bytes, list));
  EXPECT_EQ(list.fileSize, uint64_t{kMaxChunkBytes} + 3);
  ASSERT_EQ(list.chunks.size(), 2u);
  EXPECT_EQ(list.chunks[0].offset, 0u);
  EXPECT_EQ(list.chunks[0].size, 3u);
  std::string ones;
  for (int i = 0; i < 32; ++i) ones += "01";
  EXPECT_EQ(list.chunks[0].sha256, ones);
  EXPECT_EQ(list.chunks[1].offset, 3u);
  EXPECT_EQ(list.chunks[1].size, kMaxChunkBytes);
  std::string fe;
  for (int i = 0; i < 32; ++i) fe += "fe";
  EXPECT_EQ(list.chunks[1].sha256, fe);
}

TEST(ParseChunkList, EmptyFileHasNoChunks) {
  ChunkList list = Junk();
  ASSERT_TRUE(ParseChunkList(Header(0, 0), list));
  EXPECT_EQ(list.fileSize, 0u);
  EXPECT_TRUE(list.chunks.empty());
}

TEST(SerializeChunkList, ReadsBackAndRecomputesOffsets) {
  ChunkList list;
  list.fileSize = 300;
  // Offsets given wrong on purpose: the bytes do not carry them.
  list.chunks = {{999, 100, kHashA}, {0, 200, kHashB}};
  const std::string bytes = SerializeChunkList(list);
  EXPECT_EQ(bytes.size(), 20u + 2 * 36);
  EXPECT_EQ(bytes, Header(300, 2) + LittleEndian(100, 4) + bytes.substr(24, 32) +
                       LittleEndian(200, 4) + bytes.substr(60, 32));
  EXPECT_EQ(static_cast<unsigned char>(bytes[24]), 0x00);
  EXPECT_EQ(static_cast<unsigned char>(bytes[25]), 0x11);
  EXPECT_EQ(static_cast<unsigned char>(bytes[60]), 0xfe);
  ChunkList again;
  ASSERT_TRUE(ParseChunkList(bytes, again));
  EXPECT_EQ(again.fileSize, 300u);
  ASSERT_EQ(again.chunks.size(), 2u);
  EXPECT_EQ(again.chunks[0].offset, 0u);
  EXPECT_EQ(again.chunks[0].sha256, kHashA);
  EXPECT_EQ(again.chunks[1].offset, 100u);
  EXPECT_EQ(again.chunks[1].size, 200u);
  EXPECT_EQ(again.chunks[1].sha256, kHashB);
  EXPECT_EQ(SerializeChunkList(again), bytes);
}

TEST(SerializeChunkList, PackedListReadsBackWithPackedOffsets) {
  ChunkList list;
  list.fileSize = 300;
  list.packed = true;
  list.chunks = {{0, 100, kHashA, 0, 40}, {0, 200, kHashB, 0, kMaxPackedChunkBytes}};
  const std::string bytes = SerializeChunkList(list);
  EXPECT_EQ(bytes.substr(0, 20), Header(300, 2, "KVCL", 2));
  EXPECT_EQ(bytes.size(), 20u + 2 * 40);
  ChunkList again;
  ASSERT_TRUE(ParseChunkList(bytes, again));
  EXPECT_TRUE(again.packed);
  EXPECT_EQ(again.packedSize, 40u + kMaxPackedChunkBytes);
  ASSERT_EQ(again.chunks.size(), 2u);
  EXPECT_EQ(again.chunks[1].offset, 100u);
  EXPECT_EQ(again.chunks[1].packedOffset, 40u);
  EXPECT_EQ(again.chunks[1].packedSize, kMaxPackedChunkBytes);
  EXPECT_EQ(again.chunks[1].sha256, kHashB);
  EXPECT_EQ(SerializeChunkList(again), bytes);
}

}  // namespace
