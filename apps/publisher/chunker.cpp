#include "chunker.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

#include "update/trust/crypto.h"

// FastCDC-style cutting: a gear hash (each byte shifts the hash left and adds the byte's random
// 64-bit value, so the top bits depend on the last 64 bytes only), no cut before the minimum,
// a stricter mask before the average and a looser one after it (normalised chunking, which
// gathers the sizes around the average), and a forced cut at the maximum.
//
// The sizes 16/64/256 KiB came from cutting a 512 MiB random pack before and after three edits
// and counting what a launcher holding the old version fetches: the new chunks plus the new list.
//
//   min/avg/max KiB   mean chunk   1% in one place   1% in 20 places   1 MiB inserted   list
//   4/16/64           18 KiB       1.21%             1.36%             0.40%            0.98 MiB
//   8/32/128          37 KiB       1.11%             1.41%             0.31%            0.49 MiB
//   16/64/256         73 KiB       1.08%             1.74%             0.26%            0.25 MiB
//   32/128/512        146 KiB      1.09%             2.28%             0.28%            0.12 MiB
//
// Below 64 KiB the spread edit saves a little, but the list, the launcher's lookups and the
// memory its two parsed lists take (about 120 bytes a chunk: 14 MB for a 4 GiB pack at 64 KiB)
// double at every halving; above it the spread edit costs more. A minimum of a quarter and a
// maximum of four times the average keep the sizes close to it.

namespace {

constexpr uint64_t SplitMix64(uint64_t& state) {
  uint64_t z = (state += 0x9e3779b97f4a7c15ull);
  z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
  z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
  return z ^ (z >> 31);
}

// Fixed for ever: another table would move every cut, and every launcher would then download
// each chunked file whole once.
constexpr std::array<uint64_t, 256> MakeGearTable() {
  std::array<uint64_t, 256> table{};
  uint64_t state = 0x4b56434c2d676561ull;  // "KVCL-gea"
  for (uint64_t& value : table) value = SplitMix64(state);
  return table;
}

constexpr std::array<uint64_t, 256> kGear = MakeGearTable();

// A mask of the hash's top bits: a cut needs all of them zero.
constexpr uint64_t TopBits(int bits) { return bits <= 0 ? 0 : ~uint64_t{0} << (64 - bits); }

bool UsableSizes(const ChunkSizes& sizes) {
  return sizes.minimum > 0 && std::has_single_bit(sizes.average) &&
         sizes.minimum <= sizes.average && sizes.average <= sizes.maximum &&
         sizes.maximum <= kMaxChunkBytes && sizes.average >= 256;
}

}  // namespace

size_t NextChunkLength(const unsigned char* data, size_t size, const ChunkSizes& sizes) {
  if (size <= sizes.minimum) return size;
  const size_t limit = std::min<size_t>(size, sizes.maximum);
  const size_t normal = std::min<size_t>(limit, sizes.average);
  const int bits = std::countr_zero(sizes.average);
  const uint64_t strict = TopBits(bits + 2);
  const uint64_t loose = TopBits(bits - 2);
  uint64_t hash = 0;
  size_t i = sizes.minimum;
  for (; i < normal; ++i) {
    hash = (hash << 1) + kGear[data[i]];
    if ((hash & strict) == 0) return i + 1;
  }
  for (; i < limit; ++i) {
    hash = (hash << 1) + kGear[data[i]];
    if ((hash & loose) == 0) return i + 1;
  }
  return limit;
}

bool CutIntoChunks(const ChunkSource& source, const ChunkSizes& sizes, ChunkList& list) {
  if (!UsableSizes(sizes)) return false;
  // Room for a whole maximum chunk behind the one being cut, so that reads stay large.
  std::vector<unsigned char> buffer(size_t{4} * sizes.maximum);
  const Sha256ProviderOwner provider = OpenSha256Provider();
  ChunkList cut;
  size_t start = 0;
  size_t end = 0;
  bool ended = false;
  while (true) {
    while (!ended && end - start < sizes.maximum) {
      if (end == buffer.size()) {
        std::memmove(buffer.data(), buffer.data() + start, end - start);
        end -= start;
        start = 0;
      }
      size_t got = 0;
      if (!source(reinterpret_cast<char*>(buffer.data() + end), buffer.size() - end, got) ||
          got > buffer.size() - end) {
        return false;
      }
      end += got;
      ended = got == 0;
    }
    if (start == end) break;
    const size_t length = NextChunkLength(buffer.data() + start, end - start, sizes);
    const Sha256HasherOwner hasher = StartSha256(*provider);
    UpdateSha256(*hasher, reinterpret_cast<const char*>(buffer.data() + start), length);
    cut.chunks.push_back({cut.fileSize, static_cast<uint32_t>(length), FinishSha256Hex(*hasher)});
    cut.fileSize += length;
    start += length;
  }
  list = std::move(cut);
  return true;
}

ChunkList ChunkBytes(std::string_view bytes, const ChunkSizes& sizes) {
  size_t at = 0;
  const ChunkSource source = [&](char* buffer, size_t capacity, size_t& got) {
    got = std::min(capacity, bytes.size() - at);
    std::memcpy(buffer, bytes.data() + at, got);
    at += got;
    return true;
  };
  ChunkList list;
  CutIntoChunks(source, sizes, list);
  return list;
}

bool ChunkFile(const std::filesystem::path& file, const ChunkSizes& sizes, ChunkList& list,
               std::string& error) {
  const std::unique_ptr<std::FILE, int (*)(std::FILE*)> stream(std::fopen(file.c_str(), "rb"),
                                                               std::fclose);
  if (!stream) {
    error = "Could not read \"" + file.string() + "\".";
    return false;
  }
  const ChunkSource source = [&](char* buffer, size_t capacity, size_t& got) {
    got = std::fread(buffer, 1, capacity, stream.get());
    return got > 0 || std::ferror(stream.get()) == 0;
  };
  if (!CutIntoChunks(source, sizes, list)) {
    error = "Could not read \"" + file.string() + "\" to cut it into chunks.";
    return false;
  }
  return true;
}
