// Patches as publish makes them: a changed file diffed against its file in the versions the
// website served last, kept only where the patch is what a launcher holding that file fetches
// least of.

#include <algorithm>
#include <condition_variable>
#include <cstdio>
#include <fstream>
#include <mutex>
#include <optional>
#include <set>

#include "differ.h"
#include "files/file_io.h"
#include "publisher.h"
#include "update/trust/packed.h"

namespace fs = std::filesystem;

namespace {

std::string FileName(const std::string& path) { return path.substr(path.rfind('/') + 1); }

std::string Extension(const std::string& path) {
  const std::string name = FileName(path);
  const size_t dot = name.rfind('.');
  return dot == std::string::npos ? std::string() : name.substr(dot);
}

uint64_t Distance(uint64_t a, uint64_t b) { return a > b ? a - b : b - a; }

// The file of previous that file most likely was before it moved: one of the same name in
// another folder, or else one at a path the new version drops, of the same extension and within
// a quarter of its size; the closest in size.
const ManifestFile* MovedFrom(const Manifest& previous, const ManifestFile& file,
                              const std::set<std::string>& nextPaths) {
  const ManifestFile* best = nullptr;
  bool bestSameName = false;
  for (const ManifestFile& old : previous.files) {
    const bool sameName = FileName(old.path) == FileName(file.path);
    const bool renamed = !nextPaths.contains(old.path) &&
                         Extension(old.path) == Extension(file.path) &&
                         Distance(old.size, file.size) * 4 <= file.size;
    if (old.size == 0 || (!sameName && !renamed) || (bestSameName && !sameName)) continue;
    if (best == nullptr || sameName != bestSameName ||
        Distance(old.size, file.size) < Distance(best->size, file.size)) {
      best = &old;
      bestSameName = sameName;
    }
  }
  return best;
}

// The differ's memory for an old file and a new one: both files, 4 bytes a byte of the old for
// its suffix array, and the patch and its packed copy, each at worst about the new file's size.
uint64_t DiffMemory(uint64_t oldSize, uint64_t newSize) { return 5 * oldSize + 3 * newSize; }

// Half of what Linux reports available, so that the cache and other programs keep theirs.
uint64_t MemoryForDiffs() {
  std::ifstream meminfo("/proc/meminfo");
  std::string line;
  unsigned long long kib = 0;
  while (std::getline(meminfo, line)) {
    if (std::sscanf(line.c_str(), "MemAvailable: %llu kB", &kib) == 1) return kib * 512;
  }
  return uint64_t{1} << 30;
}

struct MemoryBudget {
  std::mutex lock;
  std::condition_variable freed;
  uint64_t total = 0;
  uint64_t used = 0;
  size_t running = 0;
};

// Memory taken from the budget while a diff runs: it waits until the diff fits beside those
// running, or until none runs (a diff larger than the budget runs alone).
struct MemoryHeld {
  MemoryHeld(MemoryBudget& budget, uint64_t bytes) : budget(budget), bytes(bytes) {
    std::unique_lock hold(budget.lock);
    budget.freed.wait(hold,
                      [&] { return budget.running == 0 || budget.used + bytes <= budget.total; });
    budget.used += bytes;
    ++budget.running;
  }
  ~MemoryHeld() {
    {
      const std::lock_guard hold(budget.lock);
      budget.used -= bytes;
      --budget.running;
    }
    budget.freed.notify_all();
  }
  MemoryHeld(const MemoryHeld&) = delete;
  MemoryHeld& operator=(const MemoryHeld&) = delete;

  MemoryBudget& budget;
  uint64_t bytes;
};

// A stored file whose content is what its name promises; null otherwise.
const std::string* ReadGood(const fs::path& store, const std::string& fingerprint,
                            std::string& bytes) {
  bool whole = false;
  return ReadWholeFile(store / fingerprint, bytes, &whole) && whole &&
                 Sha256Hex(bytes) == fingerprint
             ? &bytes
             : nullptr;
}

// Whether a diff can pay at all. A file that does not pack (noise, compressed media) gains from a
// patch only where it repeats runs of its old file: its chunks tell whether it does, or for a
// file without a chunk list, whether any of 16 samples of 64 bytes is found in the old file.
bool WorthDiffing(const ManifestFile& file, const PatchJob& job, std::string_view base,
                  std::string_view bytes, const std::map<std::string, ChunkList>& lists) {
  if (!file.packed.sha256.empty()) return true;
  const auto next = lists.find(file.chunks);
  const auto old = lists.find(job.base.chunks);
  if (next != lists.end() && old != lists.end()) {
    std::set<std::string> oldChunks;
    for (const Chunk& chunk : old->second.chunks) oldChunks.insert(chunk.sha256);
    return std::any_of(next->second.chunks.begin(), next->second.chunks.end(),
                       [&](const Chunk& chunk) { return oldChunks.contains(chunk.sha256); });
  }
  constexpr size_t kSamples = 16;
  constexpr size_t kSampleBytes = 64;
  if (bytes.size() < kSamples * kSampleBytes) return true;
  const size_t step = (bytes.size() - kSampleBytes) / (kSamples - 1);
  for (size_t i = 0; i < kSamples; ++i) {
    if (base.find(bytes.substr(i * step, kSampleBytes)) != std::string_view::npos) return true;
  }
  return false;
}

// One job's outcome: the patch to name, with its bytes when this publish made it.
struct MadePatch {
  std::optional<PatchObject> patch;
  std::string object;
  std::string error;
};

MadePatch RunJob(const fs::path& store, const PatchJob& job, const ManifestFile& file,
                 const std::map<std::pair<std::string, std::string>, PatchObject>& stored,
                 const std::map<std::string, ChunkList>& lists, const NextFileReader& read,
                 const DiffProgress& progress) {
  MadePatch made;
  std::string base;
  std::string bytes;
  std::string object;
  const auto before = stored.find({file.sha256, job.base.sha256});
  const bool storedGood = before != stored.end() &&
                          ReadGood(store, before->second.sha256, object) != nullptr &&
                          object.size() == before->second.size;
  if (ReadGood(store, job.base.sha256, base) == nullptr) {
    // The old file was pruned: the patch was checked when it was made, and launchers that keep
    // the old file can still use it, so it stays named; none is made.
    if (storedGood && before->second.size < BytesWithoutPatch(file, job, lists)) {
      made.patch = before->second;
    }
    return made;
  }
  if (!read(job.file, bytes, made.error)) return made;
  if (Sha256Hex(bytes) != file.sha256) {
    made.error = file.path + " changed while it was being published; publish again.";
    return made;
  }
  if (storedGood && PatchGivesFile(object, base, bytes)) {
    made.patch = before->second;
  } else if (WorthDiffing(file, job, base, bytes, lists)) {
    std::string patch = MakePatch(base, bytes, progress);
    if (patch.empty()) return made;
    base = std::string();
    bytes = std::string();
    made.object = PackBytes(patch);
    made.patch = PatchObject{job.base.sha256, Sha256Hex(made.object), made.object.size()};
  }
  if (made.patch && made.patch->size >= BytesWithoutPatch(file, job, lists)) made = {};
  return made;
}

}  // namespace

std::vector<PatchJob> ChoosePatchBases(const std::vector<Manifest>& earlier, const Manifest& next) {
  struct Version {
    std::map<std::string, const ManifestFile*> byPath;
    std::set<std::string> fingerprints;
  };
  std::vector<Version> versions(earlier.size());
  for (size_t v = 0; v < earlier.size(); ++v) {
    for (const ManifestFile& file : earlier[v].files) {
      versions[v].byPath.emplace(file.path, &file);
      versions[v].fingerprints.insert(file.sha256);
    }
  }
  std::set<std::string> nextPaths;
  for (const ManifestFile& file : next.files) nextPaths.insert(file.path);
  std::vector<PatchJob> jobs;
  for (size_t i = 0; i < next.files.size() && !earlier.empty(); ++i) {
    const ManifestFile& file = next.files[i];
    if (file.size == 0) continue;
    bool atPath = false;
    std::set<std::string> bases;
    for (const Version& version : versions) {
      const auto old = version.byPath.find(file.path);
      if (old == version.byPath.end()) continue;
      atPath = true;
      const ManifestFile& base = *old->second;
      if (!version.fingerprints.contains(file.sha256) && base.size != 0 &&
          bases.insert(base.sha256).second) {
        jobs.push_back({i, base, true});
      }
    }
    if (atPath || versions[0].fingerprints.contains(file.sha256)) continue;
    if (const ManifestFile* moved = MovedFrom(earlier[0], file, nextPaths)) {
      jobs.push_back({i, *moved, false});
    }
  }
  return jobs;
}

uint64_t PatchWork(const PatchJob& job, const ManifestFile& file) {
  return job.base.size + file.size;
}

uint64_t BytesWithoutPatch(const ManifestFile& file, const PatchJob& job,
                           const std::map<std::string, ChunkList>& lists) {
  uint64_t least = file.packed.sha256.empty() ? file.size : std::min(file.size, file.packed.size);
  if (job.samePath) {
    Manifest before;
    before.files = {job.base};
    Manifest after;
    after.files = {file};
    after.files[0].patches.clear();
    least = std::min(least, CostOfUpdate(&before, after, lists).packedDeltaBytes);
  }
  return least;
}

bool AddPatches(const fs::path& store, const std::vector<PatchJob>& jobs,
                const std::map<std::pair<std::string, std::string>, PatchObject>& stored,
                const std::map<std::string, ChunkList>& lists, const NextFileReader& read,
                const std::function<void(uint64_t)>& progress, Manifest& next,
                std::map<std::string, std::string>& made, std::vector<std::string>& tooLarge,
                std::string& error) {
  // The largest first, so that two small ones never wait behind one that must run alone.
  std::vector<size_t> order(jobs.size());
  for (size_t i = 0; i < order.size(); ++i) order[i] = i;
  const auto need = [&](size_t i) {
    return DiffMemory(jobs[i].base.size, next.files[jobs[i].file].size);
  };
  std::stable_sort(order.begin(), order.end(),
                   [&](size_t a, size_t b) { return need(a) > need(b); });
  MemoryBudget budget;
  budget.total = MemoryForDiffs();
  // A diff that needs more than all the memory available is not tried: it would only fail, or
  // push the computer into swapping.
  const auto fits = [&](size_t i) { return need(i) <= 2 * budget.total; };
  for (size_t i = 0; i < jobs.size(); ++i) {
    const std::string& path = next.files[jobs[i].file].path;
    if (!fits(i) && (tooLarge.empty() || tooLarge.back() != path)) tooLarge.push_back(path);
  }
  std::mutex progressGuard;
  std::vector<MadePatch> outcomes(jobs.size());
  OnEveryCore(order.size(), [&](size_t k) {
    const size_t i = order[k];
    uint64_t told = 0;
    const DiffProgress tell = [&](uint64_t bytes) {
      const std::lock_guard hold(progressGuard);
      told += bytes;
      progress(bytes);
    };
    if (fits(i)) {
      const MemoryHeld held(budget, need(i));
      outcomes[i] = RunJob(store, jobs[i], next.files[jobs[i].file], stored, lists, read, tell);
    }
    // What the differ did not tell: all of a job taken again or left out.
    tell(PatchWork(jobs[i], next.files[jobs[i].file]) - told);
  });
  for (size_t i = 0; i < jobs.size(); ++i) {
    MadePatch& outcome = outcomes[i];
    if (!outcome.error.empty()) {
      error = outcome.error;
      return false;
    }
    if (!outcome.patch) continue;
    next.files[jobs[i].file].patches.push_back(*outcome.patch);
    if (!outcome.object.empty()) made.emplace(outcome.patch->sha256, std::move(outcome.object));
  }
  return true;
}
