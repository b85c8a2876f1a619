#include <optional>
#include <set>
#include <string>

#include "net/http.h"
#include "publisher.h"

namespace {

uint64_t ListBytes(const ChunkList& list) {
  return 20 + uint64_t{list.packed ? 40u : 36u} * list.chunks.size();
}

// The packed chunk list of the file, when it has a packed object and the list is known.
const ChunkList* PackedList(const ManifestFile& file,
                            const std::map<std::string, ChunkList>& lists) {
  const auto list = lists.find(file.packed.chunks);
  return file.packed.sha256.empty() || file.packed.chunks.empty() || list == lists.end() ||
                 !list->second.packed
             ? nullptr
             : &list->second;
}

// What a launcher that reads packed objects fetches for the file whole.
uint64_t WholeFetchBytes(const ManifestFile& file) {
  return file.packed.sha256.empty() ? file.size : file.packed.size;
}

// The smallest patch of the file from a file of the given fingerprints, or none.
std::optional<uint64_t> SmallestPatch(const ManifestFile& file, const std::set<std::string>& from) {
  std::optional<uint64_t> least;
  for (const PatchObject& patch : file.patches) {
    if (from.contains(patch.from) && (!least || patch.size < *least)) least = patch.size;
  }
  return least;
}

// Counts the file's packed route into the patched figures, unless its patch is smaller.
void AddPatchedFile(UpdateCost& cost, std::optional<uint64_t> patch, uint64_t newChunkBytes,
                    uint64_t listBytes, uint64_t wholeBytes, bool& chunked) {
  if (patch && *patch < newChunkBytes + listBytes + wholeBytes) {
    cost.patchBytes += *patch;
    ++cost.patches;
    return;
  }
  cost.patchedNewChunkBytes += newChunkBytes;
  cost.patchedChunkListBytes += listBytes;
  cost.patchedUnlistedBytes += wholeBytes;
  chunked = chunked || listBytes != 0;
}

std::string Bytes(uint64_t bytes) {
  const uint64_t tenths = (bytes * 10 + (uint64_t{1} << 19)) >> 20;
  return std::to_string(bytes) + " bytes (" + std::to_string(tenths / 10) + "." +
         std::to_string(tenths % 10) + " MiB)";
}

std::string Count(size_t n, const char* one, const char* many) {
  return std::to_string(n) + " " + (n == 1 ? one : many);
}

}  // namespace

UpdateCost CostOfUpdate(const Manifest* current, const Manifest& next,
                        const std::map<std::string, ChunkList>& lists) {
  UpdateCost cost;
  for (const ManifestFile& file : next.files) {
    cost.freshInstallBytes += file.size;
    cost.packedFreshInstallBytes += WholeFetchBytes(file);
    cost.packedFiles += file.packed.sha256.empty() ? 0 : 1;
    // A large file comes in ranges cut at chunk boundaries, which its packed list gives.
    const ChunkList* packedList = PackedList(file, lists);
    if (packedList != nullptr && file.size >= DownloadSettings{}.rangedFileBytes) {
      cost.packedFreshInstallBytes += ListBytes(*packedList);
    }
  }
  cost.files = next.files.size();
  if (current == nullptr) return cost;
  cost.hasCurrent = true;
  cost.currentVersion = current->version;

  std::map<std::string, std::string> oldByPath;
  std::set<std::string> oldFiles;
  for (const ManifestFile& file : current->files) {
    oldByPath.emplace(file.path, file.sha256);
    oldFiles.insert(file.sha256);
  }
  std::set<std::string> newPaths;
  for (const ManifestFile& file : next.files) {
    newPaths.insert(file.path);
    const auto old = oldByPath.find(file.path);
    if (old == oldByPath.end()) {
      ++cost.added;
    } else if (old->second != file.sha256) {
      ++cost.changed;
    }
  }
  for (const auto& [path, sha256] : oldByPath) cost.removed += newPaths.contains(path) ? 0 : 1;

  // The chunks a launcher holding the current version can copy, from the lists it can fetch.
  std::set<std::string> oldChunks;
  std::vector<const ChunkList*> oldLists;
  std::set<std::string> seenLists;
  for (const ManifestFile& file : current->files) {
    const auto list = lists.find(file.chunks);
    if (file.chunks.empty() || list == lists.end() || !seenLists.insert(file.chunks).second) {
      continue;
    }
    oldLists.push_back(&list->second);
    for (const Chunk& chunk : list->second.chunks) oldChunks.insert(chunk.sha256);
  }

  bool chunked = false;
  bool patchedChunked = false;
  for (const ManifestFile& file : next.files) {
    // Reused by fingerprint from the current version, wherever it lies there.
    if (oldFiles.contains(file.sha256)) continue;
    cost.wholeFileBytes += file.size;
    ++cost.wholeFiles;
    const std::optional<uint64_t> patch = SmallestPatch(file, oldFiles);
    const auto list = lists.find(file.chunks);
    if (file.chunks.empty() || list == lists.end() || oldLists.empty()) {
      cost.unlistedBytes += file.size;
      cost.packedUnlistedBytes += WholeFetchBytes(file);
      ++cost.unlistedFiles;
      AddPatchedFile(cost, patch, 0, 0, WholeFetchBytes(file), patchedChunked);
      continue;
    }
    chunked = true;
    cost.chunkListBytes += ListBytes(list->second);
    ++cost.chunkLists;
    const ChunkList* packedList = PackedList(file, lists);
    const ChunkList& fetched = packedList != nullptr ? *packedList : list->second;
    cost.packedChunkListBytes += ListBytes(fetched);
    uint64_t packedNewChunkBytes = 0;
    for (const Chunk& chunk : fetched.chunks) {
      if (oldChunks.contains(chunk.sha256)) continue;
      cost.newChunkBytes += chunk.size;
      packedNewChunkBytes += fetched.packed ? chunk.packedSize : chunk.size;
      ++cost.newChunks;
    }
    cost.packedNewChunkBytes += packedNewChunkBytes;
    AddPatchedFile(cost, patch, packedNewChunkBytes, ListBytes(fetched), 0, patchedChunked);
  }
  // The launcher keeps no chunk lists, so it fetches the current version's again.
  for (const ChunkList* list : oldLists) {
    cost.chunkListBytes += chunked ? ListBytes(*list) : 0;
    cost.packedChunkListBytes += chunked ? ListBytes(*list) : 0;
    cost.chunkLists += chunked ? 1 : 0;
    cost.patchedChunkListBytes += patchedChunked ? ListBytes(*list) : 0;
  }
  cost.deltaBytes = cost.newChunkBytes + cost.chunkListBytes + cost.unlistedBytes;
  cost.packedDeltaBytes =
      cost.packedNewChunkBytes + cost.packedChunkListBytes + cost.packedUnlistedBytes;
  cost.patchedDeltaBytes = cost.patchBytes + cost.patchedNewChunkBytes +
                           cost.patchedChunkListBytes + cost.patchedUnlistedBytes;
  return cost;
}

std::string DescribeUpdateCost(const UpdateCost& cost) {
  std::string text;
  if (!cost.hasCurrent) {
    text += "No version is on the website yet.\n";
  } else {
    text += "Against version " + cost.currentVersion +
            " now on the website: " + Count(cost.added, "file", "files") + " added, " +
            std::to_string(cost.changed) + " changed, " + std::to_string(cost.removed) +
            " removed.\n";
    text += "Update with whole files: " + Bytes(cost.wholeFileBytes) + " in " +
            Count(cost.wholeFiles, "file", "files") + ".\n";
    text += "Update with changed chunks: " + Bytes(cost.deltaBytes) + ": " +
            std::to_string(cost.newChunkBytes) + " in " +
            Count(cost.newChunks, "new chunk", "new chunks") + ", " +
            std::to_string(cost.chunkListBytes) + " in " +
            Count(cost.chunkLists, "chunk list", "chunk lists") + ", " +
            std::to_string(cost.unlistedBytes) + " in " +
            Count(cost.unlistedFiles, "whole file", "whole files") + ".\n";
    text += "Update with changed chunks, packed: " + Bytes(cost.packedDeltaBytes) + ": " +
            std::to_string(cost.packedNewChunkBytes) + " in the new chunks, " +
            std::to_string(cost.packedChunkListBytes) + " in the chunk lists, " +
            std::to_string(cost.packedUnlistedBytes) + " in the whole files.\n";
    text += "Update with patches: " + Bytes(cost.patchedDeltaBytes) + ": " +
            std::to_string(cost.patchBytes) + " in " + Count(cost.patches, "patch", "patches") +
            ", " + std::to_string(cost.patchedNewChunkBytes) + " in the new chunks, " +
            std::to_string(cost.patchedChunkListBytes) + " in the chunk lists, " +
            std::to_string(cost.patchedUnlistedBytes) + " in the whole files.\n";
  }
  text += "Fresh install: " + Bytes(cost.freshInstallBytes) + " in " +
          Count(cost.files, "file", "files") + ".\n";
  text += "Fresh install, packed: " + Bytes(cost.packedFreshInstallBytes) + ", " +
          std::to_string(cost.packedFiles) + " of the files packed.\n";
  return text;
}
