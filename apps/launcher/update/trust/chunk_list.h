#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// The list of content-defined chunks of one client file, served under /client/files/ by the
// SHA-256 of its bytes and named by the file's manifest entry. Binary, little-endian:
//   "KVCL", format version (uint32 = 1), file size (uint64), chunk count N (uint32),
//   then N entries: chunk size (uint32) and the chunk's SHA-256 (32 raw bytes).
// Chunks follow one another from offset 0; offsets are not stored.
// Format version 2 is the list of a file's packed object (update/trust/packed.h): each entry
// has the chunk's packed size (uint32) between its size and its SHA-256, and the chunk's stream
// follows the one before it in the packed object.

struct Chunk {
  uint64_t offset = 0;
  uint32_t size = 0;
  std::string sha256;  // 64 lower-case hex digits
  // Where its stream lies in the file's packed object: format 2 only.
  uint64_t packedOffset = 0;
  uint32_t packedSize = 0;
};

struct ChunkList {
  uint64_t fileSize = 0;
  bool packed = false;      // format 2: the packed sizes are known
  uint64_t packedSize = 0;  // their sum: the packed object's size
  std::vector<Chunk> chunks;
};

// A parse cap far above any cut the publisher makes.
inline constexpr uint32_t kMaxChunkBytes = uint32_t{1} << 20;
// Deflate's worst case for such a chunk, with room to spare.
inline constexpr uint32_t kMaxPackedChunkBytes = kMaxChunkBytes + (kMaxChunkBytes >> 6);
// The largest list read, and the ceiling on fetching one.
inline constexpr uint64_t kMaxChunkListBytes = uint64_t{64} << 20;

// False, with list untouched, for any other length than 20 + 36 * N (40 * N in format 2), another
// magic or version, a chunk of size 0 or above kMaxChunkBytes, a packed size of 0 or above
// kMaxPackedChunkBytes, sizes not summing to the file size, or more than kMaxChunkListBytes of
// input. On true every chunk's offsets are filled in.
bool ParseChunkList(std::string_view bytes, ChunkList& list);

// The bytes ParseChunkList reads back, in format 2 when list.packed. Offsets are ignored (they
// follow from the sizes); every sha256 must be 64 hex digits.
std::string SerializeChunkList(const ChunkList& list);
