#include "update/transfer/chunked_rebuild.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <exception>
#include <memory>
#include <mutex>
#include <thread>

#include "files/disk.h"
#include "files/file_io.h"
#include "update/trust/chunk_list.h"

namespace fs = std::filesystem;

namespace {

// A part of the new file to fetch.
struct ByteRange {
  uint64_t start = 0;
  uint64_t length = 0;
};

// Adds the part to ranges, joined to the last range when it follows it directly.
void AddRange(std::vector<ByteRange>& ranges, uint64_t start, uint64_t length) {
  if (length == 0) return;
  if (!ranges.empty() && ranges.back().start + ranges.back().length == start) {
    ranges.back().length += length;
    return;
  }
  ranges.push_back({start, length});
}

// The ranges cut so that none is longer than most (ranges of one big gap shared among the
// fetchers).
std::vector<ByteRange> SplitRanges(const std::vector<ByteRange>& ranges, uint64_t most) {
  std::vector<ByteRange> pieces;
  for (const ByteRange& range : ranges) {
    for (uint64_t done = 0; done < range.length; done += most) {
      pieces.push_back({range.start + done, std::min(most, range.length - done)});
    }
  }
  return pieces;
}

// Fetches at once: enough to hide each request's round trip, few enough to be polite.
constexpr size_t kRangeFetchers = 4;
// A long run of changed chunks is cut into ranges of this size, so the fetchers share it.
constexpr uint64_t kMaxRangeBytes = uint64_t{8} << 20;

struct StreamCloser {
  void operator()(std::FILE* file) const { std::fclose(file); }
};
using UniqueStream = std::unique_ptr<std::FILE, StreamCloser>;

std::string PathKey(std::string_view manifestPath) {
  std::string key(manifestPath);
  std::replace(key.begin(), key.end(), '\\', '/');
  return key;
}

// The chunk list of that fingerprint from the website, checked against it.
bool FetchChunkList(const HttpFetcher& fetch, HttpSession& session, const std::string& website,
                    const std::string& fingerprint, ChunkList& list) {
  HttpRequest request;
  request.url = website + "/client/files/" + fingerprint;
  request.maxBytes = kMaxChunkListBytes;
  request.tooLong = "too long";
  std::string bytes;
  const BodySink sink = [&](const char* data, size_t size) {
    if (size > kMaxChunkListBytes - bytes.size()) return false;
    bytes.append(data, size);
    return true;
  };
  std::string error;
  bool responded = false;
  if (!fetch(session, request, sink, error, responded)) return false;
  return Sha256Hex(bytes) == fingerprint && ParseChunkList(bytes, list);
}

// A chunk of the new file found in a kept file.
struct Copy {
  size_t chunk = 0;   // its index in the new list
  size_t source = 0;  // the kept file's index in Plan::sources
  uint64_t sourceOffset = 0;
};

struct Plan {
  ChunkList list;                 // the new file's
  std::vector<fs::path> sources;  // the kept files whose lists were read
  std::vector<Copy> copies;       // in the new file's order
  std::vector<ByteRange> ranges;  // the rest, joined where they meet
  uint64_t rangeBytes = 0;
};

// A kept chunk, found by its fingerprint.
struct KeptChunk {
  const std::string* sha256 = nullptr;
  uint32_t size = 0;
  size_t source = 0;
  uint64_t offset = 0;
};

// Which chunks come from which kept file and which are fetched. False when there is nothing to
// rebuild from: no usable chunk list on either side, or not one chunk in common.
bool MakePlan(const HttpFetcher& fetch, HttpSession& session, const std::string& website,
              const ManifestFile& file, const ChunkedKeptFiles& kept, Plan& plan) {
  if (file.chunks.empty()) return false;
  const auto found = kept.find(PathKey(file.path));
  if (found == kept.end()) return false;
  if (!FetchChunkList(fetch, session, website, file.chunks, plan.list)) return false;

  std::vector<ChunkList> keptLists;
  for (const ChunkedKeptFile& candidate : found->second) {
    ChunkList list;
    if (!FetchChunkList(fetch, session, website, candidate.chunks, list)) continue;
    plan.sources.push_back(candidate.path);
    keptLists.push_back(std::move(list));
  }
  std::vector<KeptChunk> index;
  for (size_t source = 0; source < keptLists.size(); ++source) {
    for (const Chunk& chunk : keptLists[source].chunks) {
      index.push_back({&chunk.sha256, chunk.size, source, chunk.offset});
    }
  }
  // The earlier source (the current version first) wins among equal fingerprints.
  std::stable_sort(index.begin(), index.end(),
                   [](const KeptChunk& a, const KeptChunk& b) { return *a.sha256 < *b.sha256; });

  for (size_t i = 0; i < plan.list.chunks.size(); ++i) {
    const Chunk& chunk = plan.list.chunks[i];
    const auto match = std::lower_bound(
        index.begin(), index.end(), chunk.sha256,
        [](const KeptChunk& a, const std::string& sha256) { return *a.sha256 < sha256; });
    if (match != index.end() && *match->sha256 == chunk.sha256 && match->size == chunk.size) {
      plan.copies.push_back({i, match->source, match->offset});
    } else {
      AddRange(plan.ranges, chunk.offset, chunk.size);
      plan.rangeBytes += chunk.size;
    }
  }
  return !plan.copies.empty();
}

// The new file, open for writing at any offset, shared by the fetchers.
struct Target {
  std::FILE* file = nullptr;
  std::mutex lock;
  std::condition_variable changed;
  uint64_t fetched = 0;  // bytes of ranges received, under lock
  size_t running = 0;    // fetchers still at work, under lock
  std::atomic<size_t> next{0};
  std::atomic<bool> failed{false};
  std::atomic<bool> notWritten{false};
  // Set while this thread fetches alone, so progress is reported as the bytes arrive.
  const RebuildProgress* progressHere = nullptr;
};

// One range of url into the target at its offset. False when it did not arrive whole.
bool FetchRange(const HttpFetcher& fetch, HttpSession& session, const std::string& url,
                const ByteRange& range, Target& target) {
  HttpRequest request;
  request.url = url;
  request.rangeStart = range.start;
  request.rangeLength = range.length;
  request.maxBytes = range.length;
  request.tooLong = "too long";
  request.rangeIgnored = "ranges ignored";
  request.expectedSize = range.length;
  uint64_t received = 0;
  const BodySink sink = [&](const char* data, size_t size) {
    if (target.failed || size > range.length - received) return false;
    {
      const std::lock_guard<std::mutex> hold(target.lock);
      if (!WriteAt(target.file, range.start + received, data, size)) {
        target.notWritten = true;
        return false;
      }
      target.fetched += size;
    }
    target.changed.notify_all();
    received += size;
    if (target.progressHere != nullptr) (*target.progressHere)(target.fetched);
    return true;
  };
  std::string error;
  bool responded = false;
  return fetch(session, request, sink, error, responded) && received == range.length;
}

void FetchRangesInTurn(const HttpFetcher& fetch, HttpSession& session, const std::string& url,
                       const std::vector<ByteRange>& ranges, Target& target) {
  for (size_t i = target.next++; i < ranges.size() && !target.failed; i = target.next++) {
    if (!FetchRange(fetch, session, url, ranges[i], target)) target.failed = true;
  }
}

// Fetches every range of url into the target, a few at once, each fetcher over a session of its
// own. Progress is reported on this thread. False when any range failed.
bool FetchRanges(const HttpFetcher& fetch, HttpSession& session, const std::string& url,
                 const std::vector<ByteRange>& ranges, Target& target,
                 const RebuildProgress& progress) {
  if (ranges.empty()) return true;
  target.next = 0;
  std::vector<std::thread> fetchers;
  const size_t wanted = std::min(kRangeFetchers, ranges.size());
  if (wanted > 1) {
    {
      const std::lock_guard<std::mutex> hold(target.lock);
      target.running = wanted;
    }
    for (size_t i = 0; i < wanted; ++i) {
      try {
        fetchers.emplace_back([&] {
          const HttpSessionOwner own = OpenHttpSession(SettingsOf(session));
          FetchRangesInTurn(fetch, *own, url, ranges, target);
          {
            const std::lock_guard<std::mutex> hold(target.lock);
            --target.running;
          }
          target.changed.notify_all();
        });
      } catch (const std::exception&) {
        // No more threads to be had: those started share the work.
        const std::lock_guard<std::mutex> hold(target.lock);
        target.running -= wanted - i;
        break;
      }
    }
    std::unique_lock<std::mutex> hold(target.lock);
    for (uint64_t shown = ~uint64_t{0}; target.running > 0 || shown != target.fetched;) {
      if (shown == target.fetched) target.changed.wait(hold);
      shown = target.fetched;
      hold.unlock();
      progress(shown);
      hold.lock();
    }
    hold.unlock();
    for (std::thread& fetcher : fetchers) fetcher.join();
  }
  if (fetchers.empty()) {
    // One range, or no thread could start: this thread fetches them all over the caller's session.
    target.progressHere = &progress;
    FetchRangesInTurn(fetch, session, url, ranges, target);
    target.progressHere = nullptr;
  }
  return !target.failed;
}

RebuildOutcome Rebuild(const HttpFetcher& fetch, HttpSession& session, const std::string& website,
                       const ManifestFile& file, const Plan& plan, Sha256Provider& provider,
                       const RebuildProgress& progress, Target& target) {
  const std::string url = website + "/client/files/" + file.sha256;
  if (!FetchRanges(fetch, session, url, SplitRanges(plan.ranges, kMaxRangeBytes), target,
                   progress)) {
    return target.notWritten ? RebuildOutcome::NotWritten : RebuildOutcome::Whole;
  }

  // The shared chunks, each checked as it is read; one that does not match is fetched instead.
  uint32_t largest = 0;
  for (const Copy& copy : plan.copies)
    largest = std::max(largest, plan.list.chunks[copy.chunk].size);
  std::vector<char> buffer(largest);
  std::vector<UniqueStream> sources(plan.sources.size());
  std::vector<ByteRange> refetch;
  for (const Copy& copy : plan.copies) {
    const Chunk& chunk = plan.list.chunks[copy.chunk];
    UniqueStream& source = sources[copy.source];
    if (!source) {
      int error = 0;
      source.reset(OpenFileForReading(plan.sources[copy.source], error));
    }
    bool good = source && SeekOpenFile(source.get(), copy.sourceOffset) &&
                std::fread(buffer.data(), 1, chunk.size, source.get()) == chunk.size;
    if (good) {
      const Sha256HasherOwner hasher = StartSha256(provider);
      UpdateSha256(*hasher, buffer.data(), chunk.size);
      good = FinishSha256Hex(*hasher) == chunk.sha256;
    }
    if (!good) {
      AddRange(refetch, chunk.offset, chunk.size);
      continue;
    }
    if (!WriteAt(target.file, chunk.offset, buffer.data(), chunk.size)) {
      return RebuildOutcome::NotWritten;
    }
  }
  sources.clear();
  if (!refetch.empty()) {
    if (!FetchRanges(fetch, session, url, SplitRanges(refetch, kMaxRangeBytes), target, progress)) {
      return target.notWritten ? RebuildOutcome::NotWritten : RebuildOutcome::Whole;
    }
  }
  return RebuildOutcome::Done;
}

}  // namespace

void AddChunkedKeptFile(ChunkedKeptFiles& kept, const ManifestFile& file, const fs::path& path) {
  if (file.chunks.empty()) return;
  kept[PathKey(file.path)].push_back({path, file.chunks});
}

uint64_t PlannedDownloadBytes(const HttpFetcher& fetch, HttpSession& session,
                              const std::string& website, const ManifestFile& file,
                              const ChunkedKeptFiles& kept) {
  Plan plan;
  return MakePlan(fetch, session, website, file, kept, plan) ? plan.rangeBytes : file.size;
}

RebuildOutcome RebuildFromChunks(const HttpFetcher& fetch, HttpSession& session,
                                 const std::string& website, const ManifestFile& file,
                                 const ChunkedKeptFiles& kept, Sha256Provider& provider,
                                 const fs::path& destination, const RebuildProgress& progress,
                                 uint64_t& fetched) {
  fetched = 0;
  Plan plan;
  if (!MakePlan(fetch, session, website, file, kept, plan)) return RebuildOutcome::Whole;

  // Whatever stood at the destination goes, so the file holds nothing but what is written now.
  RemovePathTree(destination);
  Target target;
  target.file = OpenForUpdating(destination);
  if (target.file == nullptr) return RebuildOutcome::NotWritten;
  RebuildOutcome outcome = Rebuild(fetch, session, website, file, plan, provider, progress, target);
  fetched = target.fetched;
  if (!CloseStagedFile(target.file)) outcome = RebuildOutcome::NotWritten;
  // The whole file's fingerprint decides, whatever the chunks said.
  if (outcome == RebuildOutcome::Done &&
      HashFileExcerpt(destination, provider, FileExcerpt()) != file.sha256) {
    outcome = RebuildOutcome::Whole;
  }
  if (outcome != RebuildOutcome::Done) RemovePathTree(destination);
  return outcome;
}
