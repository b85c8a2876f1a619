#include <set>
#include <string>

#include "publisher.h"

namespace {

uint64_t ListBytes(const ChunkList& list) { return 20 + uint64_t{36} * list.chunks.size(); }

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
  for (const ManifestFile& file : next.files) cost.freshInstallBytes += file.size;
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
  for (const ManifestFile& file : next.files) {
    // Reused by fingerprint from the current version, wherever it lies there.
    if (oldFiles.contains(file.sha256)) continue;
    cost.wholeFileBytes += file.size;
    ++cost.wholeFiles;
    const auto list = lists.find(file.chunks);
    if (file.chunks.empty() || list == lists.end() || oldLists.empty()) {
      cost.unlistedBytes += file.size;
      ++cost.unlistedFiles;
      continue;
    }
    chunked = true;
    cost.chunkListBytes += ListBytes(list->second);
    ++cost.chunkLists;
    for (const Chunk& chunk : list->second.chunks) {
      if (oldChunks.contains(chunk.sha256)) continue;
      cost.newChunkBytes += chunk.size;
      ++cost.newChunks;
    }
  }
  // The launcher keeps no chunk lists, so it fetches the current version's again.
  if (chunked) {
    for (const ChunkList* list : oldLists) {
      cost.chunkListBytes += ListBytes(*list);
      ++cost.chunkLists;
    }
  }
  cost.deltaBytes = cost.newChunkBytes + cost.chunkListBytes + cost.unlistedBytes;
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
  }
  text += "Fresh install: " + Bytes(cost.freshInstallBytes) + " in " +
          Count(cost.files, "file", "files") + ".\n";
  return text;
}
