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

struct Chunk {
  uint64_t offset = 0;
  uint32_t size = 0;
  std::string sha256;  // 64 lower-case hex digits
};

struct ChunkList {
  uint64_t fileSize = 0;
  std::vector<Chunk> chunks;
};

// A parse cap far above any cut the publisher makes.
inline constexpr uint32_t kMaxChunkBytes = uint32_t{1} << 20;
// The largest list read, and the ceiling on fetching one.
inline constexpr uint64_t kMaxChunkListBytes = uint64_t{64} << 20;

// False, with list untouched, for any other length than 20 + 36 * N, another magic or version,
// a chunk of size 0 or above kMaxChunkBytes, sizes not summing to the file size, or more than
// kMaxChunkListBytes of input. On true every chunk's offset is filled in.
bool ParseChunkList(std::string_view bytes, ChunkList& list);

// The bytes ParseChunkList reads back. Offsets are ignored (they follow from the sizes); every
// sha256 must be 64 hex digits.
std::string SerializeChunkList(const ChunkList& list);
