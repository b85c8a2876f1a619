#include "update/transfer/transfer.h"

#include <algorithm>
#include <cstdio>
#include <system_error>

#include "files/file_io.h"

namespace fs = std::filesystem;

namespace {

// Hands the excerpt of the file to sink piece by piece, the patches laid over the file's bytes.
// False when the file cannot be read, ends before the excerpt's given length, or sink refuses.
bool ReadExcerpt(const fs::path& path, const FileExcerpt& excerpt, const FilePieceSink& sink) {
  uint64_t position = 0;
  std::vector<char> patched;
  const bool read = ReadFileInPieces(
      path,
      [&](const char* data, size_t size) {
        const uint64_t start = position;
        const uint64_t end = start + size;
        position = end;
        const char* piece = data;
        for (const BytePatch& patch : excerpt.patches) {
          const uint64_t patchEnd = patch.offset + patch.bytes.size();
          if (patchEnd <= start || patch.offset >= end) continue;
          if (piece == data) {
            patched.assign(data, data + size);
            piece = patched.data();
          }
          const uint64_t from = std::max(start, patch.offset);
          const uint64_t to = std::min(end, patchEnd);
          std::copy(patch.bytes.begin() + static_cast<std::ptrdiff_t>(from - patch.offset),
                    patch.bytes.begin() + static_cast<std::ptrdiff_t>(to - patch.offset),
                    patched.begin() + static_cast<std::ptrdiff_t>(from - start));
        }
        return sink(piece, size);
      },
      excerpt.length);
  if (!read) return false;
  return excerpt.length == std::numeric_limits<uint64_t>::max() || position == excerpt.length;
}

}  // namespace

std::string HashFileExcerpt(const fs::path& path, Sha256Provider& provider,
                            const FileExcerpt& excerpt) {
  const Sha256HasherOwner hasher = StartSha256(provider);
  const bool read = ReadExcerpt(path, excerpt, [&](const char* data, size_t size) {
    UpdateSha256(*hasher, data, size);
    return true;
  });
  if (!read) return {};
  return FinishSha256Hex(*hasher);
}

CopyOutcome CopyFileChecked(const fs::path& source, const FileExcerpt& excerpt,
                            const fs::path& destination, const std::string& sha256,
                            Sha256Provider& provider) {
  std::FILE* out = OpenForWriting(destination);
  if (out == nullptr) return CopyOutcome::NotWritten;
  const Sha256HasherOwner hasher = StartSha256(provider);
  bool writeFailed = false;
  const bool read = ReadExcerpt(source, excerpt, [&](const char* data, size_t size) {
    UpdateSha256(*hasher, data, size);
    writeFailed = std::fwrite(data, 1, size, out) != size;
    return !writeFailed;
  });
  CopyOutcome outcome = CopyOutcome::Done;
  if (!CloseStagedFile(out) || writeFailed) {
    outcome = CopyOutcome::NotWritten;
  } else if (!read || FinishSha256Hex(*hasher) != sha256) {
    outcome = CopyOutcome::Wrong;
  }
  if (outcome != CopyOutcome::Done) RemovePathTree(destination);
  return outcome;
}
