#pragma once

// Where each byte of a file of the new version comes from, decided before any byte moves: a kept
// file of the same fingerprint (shared by a link or a clone where the volume allows, so its bytes
// are not written again), bytes an interrupted run left in place, runs of matching chunks in
// the kept file at the same path, the file on the website, in ranges when there is much of it, or a
// patch from the website that rebuilds it from a kept file of an earlier version.
// A plan holds merged runs, never chunk lists, so its size does not grow with the game.
//
// A new source is one more rule in PlanFile; the executor (executor.h) already moves any run of
// bytes from the disk or the website.

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <limits>
#include <string>
#include <unordered_map>
#include <vector>

#include "files/disk.h"
#include "net/http.h"
#include "update/trust/crypto.h"
#include "update/trust/manifest.h"

// A piece's bytes come from the website file rather than a file on the disk.
inline constexpr size_t kFromWebsite = std::numeric_limits<size_t>::max();

// The bytes [offset, offset + length) of the new file.
struct Piece {
  uint64_t offset = 0;
  uint64_t length = 0;
  // The file on the disk they are read from (an index into FilePlan::disks) and where they start
  // there, or kFromWebsite. A file may read from its own destination: bytes already in place.
  size_t disk = kFromWebsite;
  uint64_t diskOffset = 0;
  // A website piece fetched packed: the bytes [packedOffset, packedOffset + packedLength) of the
  // file's packed object, whole zlib streams that inflate to exactly this piece. 0: fetched raw.
  uint64_t packedOffset = 0;
  uint64_t packedLength = 0;
  // A website piece that is the file's patch, fetched whole, applied to FilePlan::patchBase as it
  // is inflated: the piece is then the whole file. 0: no patch.
  uint64_t patchLength = 0;
};

// Where a file's bytes come from, when that is not its plan's first choice.
struct Sources {
  std::vector<std::filesystem::path> disks;
  std::vector<Piece> pieces;
};

struct FilePlan {
  std::string url;        // the file on the website
  std::string packedUrl;  // its packed object, for the pieces fetched packed
  std::string sha256;
  uint64_t size = 0;
  std::filesystem::path destination;
  std::vector<std::filesystem::path> disks;
  std::vector<Piece> pieces;  // in order, covering [0, size)
  // Whole files of the same fingerprint, tried in turn when the pieces come out wrong, before the
  // whole file is fetched once more.
  std::vector<std::filesystem::path> partners;
  // The patch the pieces apply, and the kept file it applies to.
  std::string patchUrl;
  std::filesystem::path patchBase;
  // What the file is made of when the patch comes out wrong: the cheapest plan without it.
  Sources withoutPatch;
  // The file comes whole from another file on the disk, which the volume lets it share rather
  // than copy: nothing of it is written.
  bool shares = false;
  // A file an earlier run left stands at the destination. Written afresh, it is replaced by a new
  // file rather than written into, as it may share a kept file's bytes.
  bool replaces = false;
  // A stop leaves every piece written where it is: the file has a chunk list, so the next run
  // keeps each chunk that verifies. Otherwise only the bytes that run together from its start
  // are left.
  bool leavesPieces = false;
  uint64_t fetchBytes = 0;  // what the pieces fetch from the website
  uint64_t writeBytes = 0;  // what they write (bytes already in place are not written again)
};

// What a stopped run left at a file's destination in the staging folder.
struct StagedFile {
  bool whole = false;       // the file there has the manifest's size and fingerprint
  uint64_t length = 0;      // otherwise: the length of the plain file there (0 when none)
  uint64_t resumeFrom = 0;  // where a file without a chunk list continues (0 starts it again)
};

// Inspects the destination. Only a plain file counts; anything else is left for the write to deal
// with. The last pieces written at once by a stopped run may hold holes, so that many bytes at
// the end of a file cut short are not trusted (RangedSlackBytes).
StagedFile InspectStagedFile(const std::filesystem::path& destination, uint64_t size,
                             const std::string& sha256, Sha256Provider& provider,
                             const DownloadSettings& settings);

// The bytes at the end of a staged file of that size that the run writing it may have left
// unwritten: pieces are taken in order and written at their offsets, so only those running at
// once can leave holes.
uint64_t RangedSlackBytes(uint64_t size, const DownloadSettings& settings);

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

// Everything a file's plan may draw on.
struct PlanInputs {
  const std::string& website;
  const ManifestFile& file;
  const std::filesystem::path& destination;
  const StagedFile& staged;
  // Files of its fingerprint on the disk, the first tried first. When there are any, the file is
  // copied and nothing else is planned.
  const std::vector<std::filesystem::path>& partners;
  const ChunkedKeptFiles& chunked;
  // Files of kept versions, and whole files staged for this one, by fingerprint: bases for
  // patches.
  const std::unordered_map<std::string, std::vector<std::filesystem::path>>& kept;
  const DownloadSettings& settings;
  // The volume lets a version share the bytes of another's files (CanShareFiles).
  bool sharing = false;
};

// share(from, to, way), making the folders on the way to `to` when they are missing.
int ShareInto(const FileSharer& share, const std::filesystem::path& from,
              const std::filesystem::path& to, ShareWay way);

// Whether a folder can hold files sharing the bytes of kept: tried by sharing it at probe, a name
// in that folder, and taking the share away again. Only a refusal that holds for every file says
// no. A probe that cannot be taken away (the file is a running program) is left for the clean-up.
bool CanShareFiles(const FileSharer& share, const std::filesystem::path& kept,
                   const std::filesystem::path& probe);

// The plan of one file. Its chunk lists, when it has one, are fetched here and only here.
FilePlan PlanFile(const HttpFetcher& fetch, HttpSession& session, Sha256Provider& provider,
                  const PlanInputs& inputs);

// The plan of a file fetched whole from url into destination.
FilePlan WholeDownload(const std::string& url, const std::string& sha256, uint64_t size,
                       const std::filesystem::path& destination);

// A plan that fetches the whole file as one plain answer of its raw bytes: the last resort for a
// file whose other plan came out wrong.
std::vector<Piece> WholeFromWebsite(uint64_t size);
