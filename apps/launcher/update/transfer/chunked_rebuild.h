#pragma once

// A changed file rebuilt from the kept version's copy of it: the chunks both versions share are
// copied from the kept file (each checked against its fingerprint as it is read) and only the rest
// is fetched, as byte ranges of the new file, a few at once. Both versions' chunk lists
// (update/chunk_list.h) are fetched by fingerprint; none is stored in the InstallRoot.

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "net/http.h"
#include "update/transfer/transfer.h"
#include "update/trust/crypto.h"
#include "update/trust/manifest.h"

// A file of a complete kept version whose stored manifest entry names a chunk list.
struct ChunkedKeptFile {
  std::filesystem::path path;
  std::string chunks;  // the fingerprint of its chunk list
};

// Kept files by manifest path, the current version's first.
using ChunkedKeptFiles = std::unordered_map<std::string, std::vector<ChunkedKeptFile>>;

// Lists a kept version's file (at path on the disk) when its entry names a chunk list.
void AddChunkedKeptFile(ChunkedKeptFiles& kept, const ManifestFile& file,
                        const std::filesystem::path& path);

// The bytes the new file costs to download: what a rebuild from the kept files would fetch, or
// its whole size when it would be downloaded whole. Fetches the chunk lists to find out.
uint64_t PlannedDownloadBytes(const HttpFetcher& fetch, HttpSession& session,
                              const std::string& website, const ManifestFile& file,
                              const ChunkedKeptFiles& kept);

enum class RebuildOutcome {
  Done,        // the file was rebuilt and hashed to its fingerprint
  Whole,       // no rebuild: nothing to rebuild from, or something went wrong; download it whole
  NotWritten,  // the destination could not be opened or written
};

// Called on the calling thread with the bytes fetched for this file so far.
using RebuildProgress = std::function<void(uint64_t fetched)>;

// Rebuilds the file at destination (in the staging folder) from its kept counterparts. fetched
// receives the bytes downloaded, whatever the outcome. On any outcome but Done the destination is
// removed.
RebuildOutcome RebuildFromChunks(const HttpFetcher& fetch, HttpSession& session,
                                 const std::string& website, const ManifestFile& file,
                                 const ChunkedKeptFiles& kept, Sha256Provider& provider,
                                 const std::filesystem::path& destination,
                                 const RebuildProgress& progress, uint64_t& fetched);
