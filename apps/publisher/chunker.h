#pragma once

// Content-defined chunking of client files: cut points chosen by a rolling hash over the bytes
// themselves, so that an edit or an insertion moves only the cuts near it and every other chunk
// keeps its fingerprint from one version to the next.

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <string_view>

#include "update/trust/chunk_list.h"

struct ChunkSizes {
  uint32_t minimum = 0;
  uint32_t average = 0;  // a power of two
  uint32_t maximum = 0;
};

// What the publisher cuts with (see the measurement in chunker.cpp).
inline constexpr ChunkSizes kChunkSizes{16u << 10, 64u << 10, 256u << 10};

// Files of this size and more get a chunk list; smaller ones are fetched whole. Rebuilding
// costs a launcher about three more requests (the two lists and at least one range), some 2 MB
// of transfer at 100 Mbit/s and 50 ms; a one-place edit of an 8 MiB file still saves 7.8 MiB of
// it, while below about 2 MiB the saving is no larger than those requests.
inline constexpr uint64_t kChunkedFileThreshold = uint64_t{8} << 20;

// The length of the chunk that starts at data, with size bytes available there. size must be at
// least sizes.maximum unless the data ends after these bytes. Never 0 for a non-empty input;
// never above sizes.maximum; below sizes.minimum only when the input ends first.
size_t NextChunkLength(const unsigned char* data, size_t size, const ChunkSizes& sizes);

// Fills buffer with up to capacity bytes and sets got (0 at the end of the input); false when
// the input cannot be read.
using ChunkSource = std::function<bool(char* buffer, size_t capacity, size_t& got)>;

// Cuts a stream that arrives in pieces, holding a few maximum-size chunks at a time, and
// fingerprints each chunk. The cuts depend only on the bytes, never on how they arrive. False
// when the source fails or sizes are unusable; list is then untouched.
bool CutIntoChunks(const ChunkSource& source, const ChunkSizes& sizes, ChunkList& list);

// CutIntoChunks over bytes in memory.
ChunkList ChunkBytes(std::string_view bytes, const ChunkSizes& sizes = kChunkSizes);

// CutIntoChunks over a file read in pieces. On false, error says why.
bool ChunkFile(const std::filesystem::path& file, const ChunkSizes& sizes, ChunkList& list,
               std::string& error);
