#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "update/trust/chunk_list.h"

// The chunk list as fetched from a website. Besides crashes, hangs and undefined behaviour,
// checks what rebuilding a file relies on: accepted chunks are non-empty, within the cap, follow
// one another and cover the file exactly, and the list writes back to the same bytes.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  ChunkList list;
  if (!ParseChunkList(bytes, list)) return 0;
  uint64_t offset = 0;
  uint64_t packedOffset = 0;
  for (const Chunk& chunk : list.chunks) {
    if (chunk.offset != offset || chunk.size == 0 || chunk.size > kMaxChunkBytes) std::abort();
    if (chunk.sha256.size() != 64) std::abort();
    if (list.packed && (chunk.packedOffset != packedOffset || chunk.packedSize == 0 ||
                        chunk.packedSize > kMaxPackedChunkBytes)) {
      std::abort();
    }
    offset += chunk.size;
    packedOffset += chunk.packedSize;
  }
  if (offset != list.fileSize || packedOffset != list.packedSize) std::abort();
  if (SerializeChunkList(list) != bytes) std::abort();
  return 0;
}
