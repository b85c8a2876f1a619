#include "update/transfer/plan.h"

#include <algorithm>
#include <cstdio>
#include <memory>

#include "files/disk.h"
#include "files/file_io.h"
#include "update/transfer/transfer.h"
#include "update/trust/chunk_list.h"

namespace fs = std::filesystem;

namespace {

bool Ranged(uint64_t size, const DownloadSettings& settings) {
  return size >= settings.rangedFileBytes && settings.piecesAtOnce > 0;
}

std::string PathKey(std::string_view manifestPath) {
  std::string key(manifestPath);
  std::replace(key.begin(), key.end(), '\\', '/');
  return key;
}

// Appends the run, joined to the last piece when it carries on from it.
void AddRun(std::vector<Piece>& pieces, const Piece& run) {
  if (run.length == 0) return;
  if (!pieces.empty()) {
    Piece& last = pieces.back();
    if (last.disk == run.disk && last.offset + last.length == run.offset &&
        (run.disk == kFromWebsite || last.diskOffset + last.length == run.diskOffset)) {
      last.length += run.length;
      return;
    }
  }
  pieces.push_back(run);
}

// The website's runs cut into pieces that several connections share: always for a file rebuilt
// from chunks, whose runs are few, and for a large file fetched whole.
std::vector<Piece> SplitWebsiteRuns(const std::vector<Piece>& runs, bool shared,
                                    const DownloadSettings& settings) {
  const uint64_t most = std::max<uint64_t>(settings.pieceBytes, 1);
  std::vector<Piece> pieces;
  for (const Piece& run : runs) {
    if (run.disk != kFromWebsite || !shared) {
      pieces.push_back(run);
      continue;
    }
    for (uint64_t done = 0; done < run.length; done += most) {
      pieces.push_back({run.offset + done, std::min(most, run.length - done), kFromWebsite, 0});
    }
  }
  return pieces;
}

// The chunk list of that fingerprint from the website, checked against it.
bool FetchChunkList(const HttpFetcher& fetch, HttpSession& session, const std::string& website,
                    const std::string& fingerprint, ChunkList& list) {
  HttpRequest request;
  request.url = website + "/client/files/" + fingerprint;
  request.maxBytes = kMaxChunkListBytes;
  std::string bytes;
  std::string error;
  bool responded = false;
  return FetchBody(fetch, session, request, bytes, error, responded) == FetchStatus::Done &&
         Sha256Hex(bytes) == fingerprint && ParseChunkList(bytes, list);
}

// The new file's chunk list: the packed one, which also cuts the packed object into its chunks'
// streams, when the file has one that fits it; otherwise the plain one. False when neither can
// be had or describes the file.
bool FetchFileChunkList(const HttpFetcher& fetch, HttpSession& session, const PlanInputs& in,
                        ChunkList& list) {
  const ManifestFile& file = in.file;
  if (!file.packed.chunks.empty() &&
      FetchChunkList(fetch, session, in.website, file.packed.chunks, list) && list.packed &&
      list.packedSize == file.packed.size && list.fileSize == file.size) {
    return true;
  }
  list = {};
  return !file.chunks.empty() && FetchChunkList(fetch, session, in.website, file.chunks, list) &&
         list.fileSize == file.size;
}

// The website's runs as pieces of the packed object, cut at the chunks' streams: each run whole
// when the file is not shared between connections, otherwise in pieces of about pieceBytes of
// raw bytes, never less than one chunk. Every website run starts and ends at chunks.
std::vector<Piece> PackedPieces(const std::vector<Piece>& runs, const ChunkList& list, bool shared,
                                const DownloadSettings& settings) {
  const uint64_t most = std::max<uint64_t>(settings.pieceBytes, 1);
  std::vector<Piece> pieces;
  for (const Piece& run : runs) {
    if (run.disk != kFromWebsite) {
      pieces.push_back(run);
      continue;
    }
    auto chunk =
        std::lower_bound(list.chunks.begin(), list.chunks.end(), run.offset,
                         [](const Chunk& chunk, uint64_t offset) { return chunk.offset < offset; });
    Piece piece{run.offset, 0, kFromWebsite, 0, chunk->packedOffset, 0};
    for (; chunk != list.chunks.end() && chunk->offset < run.offset + run.length; ++chunk) {
      if (shared && piece.length != 0 && piece.length + chunk->size > most) {
        pieces.push_back(piece);
        piece = {chunk->offset, 0, kFromWebsite, 0, chunk->packedOffset, 0};
      }
      piece.length += chunk->size;
      piece.packedLength += chunk->packedSize;
    }
    pieces.push_back(piece);
  }
  return pieces;
}

// A chunk of a kept file, found by its fingerprint.
struct KeptChunk {
  std::string sha256;
  uint32_t size = 0;
  size_t disk = 0;
  uint64_t offset = 0;
};

// The kept files' chunks sorted by fingerprint, the earlier file (the current version first)
// first among equals; their paths go to disks.
std::vector<KeptChunk> IndexKeptChunks(const HttpFetcher& fetch, HttpSession& session,
                                       const PlanInputs& in, std::vector<fs::path>& disks) {
  std::vector<KeptChunk> index;
  const auto found = in.chunked.find(PathKey(in.file.path));
  if (found == in.chunked.end()) return index;
  for (const ChunkedKeptFile& kept : found->second) {
    ChunkList list;
    if (!FetchChunkList(fetch, session, in.website, kept.chunks, list)) continue;
    disks.push_back(kept.path);
    for (Chunk& chunk : list.chunks) {
      index.push_back({std::move(chunk.sha256), chunk.size, disks.size() - 1, chunk.offset});
    }
  }
  std::stable_sort(index.begin(), index.end(),
                   [](const KeptChunk& a, const KeptChunk& b) { return a.sha256 < b.sha256; });
  return index;
}

struct StreamCloser {
  void operator()(std::FILE* file) const { std::fclose(file); }
};

// Which chunks of what a stopped run left still match their fingerprints, wherever they lie.
std::vector<bool> VerifiedStagedChunks(const fs::path& destination, uint64_t length,
                                       const ChunkList& list, Sha256Provider& provider) {
  std::vector<bool> verified(list.chunks.size(), false);
  if (length == 0) return verified;
  int error = 0;
  const std::unique_ptr<std::FILE, StreamCloser> in(OpenFileForReading(destination, error));
  if (!in) return verified;
  std::vector<char> buffer;
  for (size_t i = 0; i < list.chunks.size(); ++i) {
    const Chunk& chunk = list.chunks[i];
    if (chunk.offset + chunk.size > length) break;
    buffer.resize(chunk.size);
    if (!SeekOpenFile(in.get(), chunk.offset) ||
        std::fread(buffer.data(), 1, chunk.size, in.get()) != chunk.size) {
      break;
    }
    const Sha256HasherOwner hasher = StartSha256(provider);
    UpdateSha256(*hasher, buffer.data(), chunk.size);
    verified[i] = FinishSha256Hex(*hasher) == chunk.sha256;
  }
  return verified;
}

// The runs of a file by its chunk list: each chunk from the bytes left in place, from a kept file,
// or from the website.
void PlanChunks(const HttpFetcher& fetch, HttpSession& session, Sha256Provider& provider,
                const PlanInputs& in, const ChunkList& list, FilePlan& plan,
                std::vector<Piece>& runs) {
  const std::vector<bool> inPlace =
      in.staged.length <= in.file.size
          ? VerifiedStagedChunks(in.destination, in.staged.length, list, provider)
          : std::vector<bool>(list.chunks.size(), false);
  plan.disks.push_back(in.destination);
  const std::vector<KeptChunk> kept = IndexKeptChunks(fetch, session, in, plan.disks);
  for (size_t i = 0; i < list.chunks.size(); ++i) {
    const Chunk& chunk = list.chunks[i];
    if (inPlace[i]) {
      AddRun(runs, {chunk.offset, chunk.size, 0, chunk.offset});
      continue;
    }
    const auto match = std::lower_bound(
        kept.begin(), kept.end(), chunk.sha256,
        [](const KeptChunk& a, const std::string& sha256) { return a.sha256 < sha256; });
    if (match != kept.end() && match->sha256 == chunk.sha256 && match->size == chunk.size) {
      AddRun(runs, {chunk.offset, chunk.size, match->disk, match->offset});
    } else {
      AddRun(runs, {chunk.offset, chunk.size, kFromWebsite, 0});
    }
  }
  plan.leavesPieces = true;
}

// The plan of a file from every source but its patches.
FilePlan PlanSources(const HttpFetcher& fetch, HttpSession& session, Sha256Provider& provider,
                     const PlanInputs& in) {
  const ManifestFile& file = in.file;
  FilePlan plan;
  plan.url = in.website + "/client/files/" + file.sha256;
  plan.sha256 = file.sha256;
  plan.size = file.size;
  plan.destination = in.destination;
  plan.writeBytes = file.size;
  plan.replaces = in.staged.length > 0;
  if (file.size == 0) return plan;
  if (!in.partners.empty()) {
    plan.disks = {in.partners.front()};
    plan.pieces = {{0, file.size, 0, 0}};
    plan.partners.assign(in.partners.begin() + 1, in.partners.end());
    plan.shares = in.sharing;
    if (plan.shares) plan.writeBytes = 0;
    return plan;
  }

  std::vector<Piece> runs;
  const bool packs = !file.packed.sha256.empty();
  if (packs) plan.packedUrl = in.website + "/client/files/" + file.packed.sha256;
  const bool ranged = Ranged(file.size, in.settings);
  // A chunk list is worth its request only when there is something to rebuild from, or when it
  // cuts a large packed file into ranges.
  const bool rebuilds =
      !file.chunks.empty() && (in.staged.length > 0 || in.chunked.count(PathKey(file.path)) != 0);
  ChunkList list;
  const bool listed = (rebuilds || (ranged && !file.packed.chunks.empty())) &&
                      FetchFileChunkList(fetch, session, in, list);
  const auto fromDisk = [](const Piece& run) { return run.disk != kFromWebsite; };
  if (rebuilds && listed) PlanChunks(fetch, session, provider, in, list, plan, runs);
  if (std::none_of(runs.begin(), runs.end(), fromDisk)) {
    runs.clear();
    // Without a chunk list, a file cut short continues from where its bytes run together, unless
    // its packed object is smaller than the rest: a packed stream can only be read from its start.
    uint64_t from = std::min(in.staged.resumeFrom, file.size);
    if ((listed && list.packed) || (packs && file.packed.size < file.size - from)) from = 0;
    plan.disks = {in.destination};
    AddRun(runs, {0, from, 0, 0});
    AddRun(runs, {from, file.size - from, kFromWebsite, 0});
  }
  const bool rebuilt = std::any_of(runs.begin(), runs.end(), fromDisk) && plan.leavesPieces;
  const uint64_t fetched = file.size - (fromDisk(runs.front()) ? runs.front().length : 0);
  const bool shared = rebuilt || (ranged && fetched > in.settings.pieceBytes);
  if (listed && list.packed) {
    plan.pieces = PackedPieces(runs, list, shared, in.settings);
  } else if (packs && !ranged && runs.size() == 1 && runs.front().disk == kFromWebsite) {
    plan.pieces = {{0, file.size, kFromWebsite, 0, 0, file.packed.size}};
  } else {
    plan.pieces = SplitWebsiteRuns(runs, shared, in.settings);
  }
  for (const Piece& piece : plan.pieces) {
    if (piece.disk == kFromWebsite) {
      plan.fetchBytes += piece.packedLength != 0 ? piece.packedLength : piece.length;
    }
    // Bytes in place stay where they are.
    if (piece.disk == 0 && plan.disks.front() == in.destination) plan.writeBytes -= piece.length;
  }
  return plan;
}

// The smallest of the file's patches that is smaller than cost and whose base is on the disk, and
// where that base is; null when none.
const PatchObject* CheapestPatch(const PlanInputs& in, uint64_t cost, fs::path& base) {
  const PatchObject* cheapest = nullptr;
  for (const PatchObject& patch : in.file.patches) {
    if (patch.size >= (cheapest != nullptr ? cheapest->size : cost)) continue;
    const auto found = in.kept.find(patch.from);
    if (found == in.kept.end()) continue;
    const auto other = std::find_if(found->second.begin(), found->second.end(),
                                    [&](const fs::path& path) { return path != in.destination; });
    if (other == found->second.end()) continue;
    cheapest = &patch;
    base = *other;
  }
  return cheapest;
}

}  // namespace

uint64_t RangedSlackBytes(uint64_t size, const DownloadSettings& settings) {
  return Ranged(size, settings) ? std::max<uint64_t>(settings.pieceBytes, 1) * settings.piecesAtOnce
                                : 0;
}

StagedFile InspectStagedFile(const fs::path& destination, uint64_t size, const std::string& sha256,
                             Sha256Provider& provider, const DownloadSettings& settings) {
  StagedFile staged;
  std::string none;
  uint64_t length = 0;
  if (EntryKindOf(destination) != EntryKind::File || !ReadFileTail(destination, 0, none, length)) {
    return staged;
  }
  staged.length = length;
  if (length == size) {
    staged.whole = HashFileExcerpt(destination, provider) == sha256;
    // The run that wrote it may have been stopped before its flush: the file counts only once
    // its bytes are sure to be on the disk, as a file written by this run does.
    if (staged.whole) staged.whole = CloseStagedFile(OpenForUpdating(destination));
  } else if (length < size) {
    const uint64_t slack = RangedSlackBytes(size, settings);
    staged.resumeFrom = length > slack ? length - slack : 0;
  }
  return staged;
}

int ShareInto(const FileSharer& share, const fs::path& from, const fs::path& to, ShareWay way) {
  const int error = share(from, to, way);
  if (!IsMissingError(error) || EntryKindOf(to.parent_path()) == EntryKind::Folder) return error;
  CreateFolderChain(to.parent_path());
  return share(from, to, way);
}

bool CanShareFiles(const FileSharer& share, const fs::path& kept, const fs::path& probe) {
  if (EntryKindOf(probe) == EntryKind::File) RemoveEntry(probe);
  const int error = ShareInto(share, kept, probe, ShareWayOf(kept));
  if (error == 0) RemoveEntry(probe);
  return !RefusesEveryShare(error);
}

void AddChunkedKeptFile(ChunkedKeptFiles& kept, const ManifestFile& file, const fs::path& path) {
  if (file.chunks.empty()) return;
  kept[PathKey(file.path)].push_back({path, file.chunks});
}

std::vector<Piece> WholeFromWebsite(uint64_t size) {
  if (size == 0) return {};
  return {{0, size, kFromWebsite, 0}};
}

FilePlan WholeDownload(const std::string& url, const std::string& sha256, uint64_t size,
                       const fs::path& destination) {
  FilePlan plan;
  plan.url = url;
  plan.sha256 = sha256;
  plan.size = size;
  plan.destination = destination;
  plan.pieces = WholeFromWebsite(size);
  plan.fetchBytes = size;
  plan.writeBytes = size;
  return plan;
}

FilePlan PlanFile(const HttpFetcher& fetch, HttpSession& session, Sha256Provider& provider,
                  const PlanInputs& in) {
  FilePlan plan = PlanSources(fetch, session, provider, in);
  if (plan.pieces.empty() || !in.partners.empty()) return plan;
  fs::path base;
  const PatchObject* patch = CheapestPatch(in, plan.fetchBytes, base);
  if (patch == nullptr) return plan;
  // The patch writes the file from its start, over whatever a stopped run left there, so the plan
  // to fall back on cannot count on those bytes.
  if (std::any_of(plan.pieces.begin(), plan.pieces.end(), [&](const Piece& piece) {
        return piece.disk != kFromWebsite && plan.disks[piece.disk] == in.destination;
      })) {
    const StagedFile nothing;
    plan = PlanSources(fetch, session, provider,
                       {.website = in.website,
                        .file = in.file,
                        .destination = in.destination,
                        .staged = nothing,
                        .partners = in.partners,
                        .chunked = in.chunked,
                        .kept = in.kept,
                        .settings = in.settings,
                        .sharing = in.sharing});
    plan.replaces = true;
  }
  plan.withoutPatch = {std::move(plan.disks), std::move(plan.pieces)};
  plan.disks.clear();
  plan.patchUrl = in.website + "/client/files/" + patch->sha256;
  plan.patchBase = base;
  plan.pieces = {{0, in.file.size, kFromWebsite, 0, 0, 0, patch->size}};
  plan.fetchBytes = patch->size;
  plan.writeBytes = in.file.size;
  return plan;
}
