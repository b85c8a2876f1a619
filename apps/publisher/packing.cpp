// Packed objects as publish makes them: deflated once here, fetched by every player.

#include <algorithm>
#include <atomic>
#include <exception>
#include <mutex>
#include <thread>

#include "publisher.h"
#include "update/trust/packed.h"

namespace {

// Four samples spread over a file are packed before the file itself, so that random bytes
// (compressed media, archives) are turned down from a look at a quarter of a small file, or
// 256 KiB of a large one.
constexpr size_t kSamples = 4;
constexpr size_t kLeastSampleBytes = size_t{2} << 10;
constexpr size_t kMostSampleBytes = size_t{64} << 10;

// At least 5% smaller, or the launcher's extra requests and inflating are not worth it.
bool SavesEnough(uint64_t packed, uint64_t raw) { return packed * 20 <= raw * 19; }

// Whether the samples save at least half of what the whole file must: it is then worth packing
// whole. A file too small for samples is packed whole at once.
bool SamplesShrink(std::string_view bytes) {
  const size_t sampleBytes = std::min(bytes.size() / 16, kMostSampleBytes);
  if (sampleBytes < kLeastSampleBytes) return true;
  const size_t step = (bytes.size() - sampleBytes) / (kSamples - 1);
  uint64_t packed = 0;
  for (size_t i = 0; i < kSamples; ++i) {
    packed += PackBytes(bytes.substr(i * step, sampleBytes)).size();
  }
  return packed * 40 <= uint64_t{kSamples} * sampleBytes * 39;
}

}  // namespace

void OnEveryCore(size_t count, const std::function<void(size_t)>& work) {
  const size_t cores = std::clamp<size_t>(std::thread::hardware_concurrency(), 1, 16);
  std::atomic<size_t> next = 0;
  std::mutex lock;
  std::exception_ptr thrown;
  // What one item throws (zlib or memory running out) stops the rest and is thrown here, so the
  // caller refuses with a sentence rather than the process ending.
  const auto worker = [&] {
    try {
      for (size_t i = next++; i < count; i = next++) work(i);
    } catch (...) {
      next = count;
      const std::lock_guard<std::mutex> hold(lock);
      if (!thrown) thrown = std::current_exception();
    }
  };
  std::vector<std::thread> threads;
  for (size_t t = 1; t < std::min(cores, count); ++t) threads.emplace_back(worker);
  worker();
  for (std::thread& thread : threads) thread.join();
  if (thrown) std::rethrow_exception(thrown);
}

bool PackClientFile(std::string_view bytes, const ChunkList* list, PackedCopy& packed) {
  packed = {};
  if (!SamplesShrink(bytes)) return false;
  if (list == nullptr) {
    packed.object = PackBytes(bytes);
    if (SavesEnough(packed.object.size(), bytes.size())) return true;
    packed.object.clear();
    return false;
  }
  // One stream per chunk, so that a launcher can fetch and inflate any run of chunks alone.
  std::vector<std::string> streams(list->chunks.size());
  OnEveryCore(streams.size(), [&](size_t i) {
    const Chunk& chunk = list->chunks[i];
    streams[i] = PackBytes(bytes.substr(chunk.offset, chunk.size));
  });
  ChunkList packedList = *list;
  packedList.packed = true;
  uint64_t total = 0;
  for (size_t i = 0; i < streams.size(); ++i) {
    packedList.chunks[i].packedSize = static_cast<uint32_t>(streams[i].size());
    total += streams[i].size();
  }
  if (!SavesEnough(total, bytes.size())) return false;
  packed.object.reserve(total);
  for (const std::string& stream : streams) packed.object += stream;
  packed.list = SerializeChunkList(packedList);
  return true;
}
