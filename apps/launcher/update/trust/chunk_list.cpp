#include "update/trust/chunk_list.h"

#include <utility>

namespace {

constexpr std::string_view kMagic = "KVCL";
constexpr uint32_t kPlainFormat = 1;
constexpr uint32_t kPackedFormat = 2;
constexpr size_t kHeaderBytes = 20;
constexpr size_t kDigestBytes = 32;

size_t EntryBytes(bool packed) { return packed ? 40 : 36; }

uint64_t ReadLittleEndian(std::string_view bytes, size_t at, size_t width) {
  uint64_t value = 0;
  for (size_t i = width; i-- > 0;) {
    value = (value << 8) | static_cast<unsigned char>(bytes[at + i]);
  }
  return value;
}

void AppendLittleEndian(std::string& out, uint64_t value, size_t width) {
  for (size_t i = 0; i < width; ++i) {
    out.push_back(static_cast<char>((value >> (8 * i)) & 0xff));
  }
}

int HexDigitValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return 0;
}

}  // namespace

bool ParseChunkList(std::string_view bytes, ChunkList& list) {
  if (bytes.size() < kHeaderBytes || bytes.size() > kMaxChunkListBytes) return false;
  if (bytes.substr(0, kMagic.size()) != kMagic) return false;
  const uint64_t format = ReadLittleEndian(bytes, 4, 4);
  if (format != kPlainFormat && format != kPackedFormat) return false;
  const bool packed = format == kPackedFormat;
  const size_t entryBytes = EntryBytes(packed);
  const uint64_t fileSize = ReadLittleEndian(bytes, 8, 8);
  const uint64_t count = ReadLittleEndian(bytes, 16, 4);
  if ((bytes.size() - kHeaderBytes) % entryBytes != 0 ||
      (bytes.size() - kHeaderBytes) / entryBytes != count) {
    return false;
  }
  static constexpr char kHex[] = "0123456789abcdef";
  ChunkList parsed;
  parsed.fileSize = fileSize;
  parsed.packed = packed;
  parsed.chunks.reserve(count);
  uint64_t offset = 0;
  for (size_t at = kHeaderBytes; at < bytes.size(); at += entryBytes) {
    Chunk chunk;
    chunk.offset = offset;
    chunk.size = static_cast<uint32_t>(ReadLittleEndian(bytes, at, 4));
    if (chunk.size == 0 || chunk.size > kMaxChunkBytes) return false;
    // Checked before adding, so that no sum wraps around.
    if (chunk.size > fileSize - offset) return false;
    offset += chunk.size;
    if (packed) {
      chunk.packedOffset = parsed.packedSize;
      chunk.packedSize = static_cast<uint32_t>(ReadLittleEndian(bytes, at + 4, 4));
      if (chunk.packedSize == 0 || chunk.packedSize > kMaxPackedChunkBytes) return false;
      parsed.packedSize += chunk.packedSize;
    }
    const size_t digestAt = at + entryBytes - kDigestBytes;
    chunk.sha256.reserve(2 * kDigestBytes);
    for (size_t i = 0; i < kDigestBytes; ++i) {
      const auto byte = static_cast<unsigned char>(bytes[digestAt + i]);
      chunk.sha256.push_back(kHex[byte >> 4]);
      chunk.sha256.push_back(kHex[byte & 0x0f]);
    }
    parsed.chunks.push_back(std::move(chunk));
  }
  if (offset != fileSize) return false;
  list = std::move(parsed);
  return true;
}

std::string SerializeChunkList(const ChunkList& list) {
  std::string out;
  out.reserve(kHeaderBytes + EntryBytes(list.packed) * list.chunks.size());
  out += kMagic;
  AppendLittleEndian(out, list.packed ? kPackedFormat : kPlainFormat, 4);
  AppendLittleEndian(out, list.fileSize, 8);
  AppendLittleEndian(out, list.chunks.size(), 4);
  for (const Chunk& chunk : list.chunks) {
    AppendLittleEndian(out, chunk.size, 4);
    if (list.packed) AppendLittleEndian(out, chunk.packedSize, 4);
    for (size_t i = 0; i < kDigestBytes; ++i) {
      const size_t at = 2 * i;
      const int high = at < chunk.sha256.size() ? HexDigitValue(chunk.sha256[at]) : 0;
      const int low = at + 1 < chunk.sha256.size() ? HexDigitValue(chunk.sha256[at + 1]) : 0;
      out.push_back(static_cast<char>((high << 4) | low));
    }
  }
  return out;
}
