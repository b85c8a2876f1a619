#include "update/transfer/resume.h"

#include <algorithm>
#include <cstdio>

#include "files/disk.h"
#include "files/file_io.h"

namespace fs = std::filesystem;

namespace {

// The error a continuation fails with when the website answers with the whole file; never shown.
constexpr char kRangeIgnored[] = "The website sent the whole file";

struct Streamed {
  bool fetched = false;
  bool tooLong = false;
  bool writeFailed = false;
  std::string error;
};

// Fetches request into out at its position, hashing every piece on the way.
Streamed Stream(const HttpFetcher& fetch, HttpSession& session, const HttpRequest& request,
                std::FILE* out, Sha256Hasher& hasher, bool& responded) {
  Streamed streamed;
  uint64_t received = 0;
  const BodySink sink = [&](const char* data, size_t size) {
    // The ceiling holds here too, whatever the fetcher does with it.
    if (size > request.maxBytes - std::min(received, request.maxBytes)) {
      streamed.tooLong = true;
      return false;
    }
    // A stop between two pieces leaves a file cut short, which the next run continues.
    received += size;
    UpdateSha256(hasher, data, size);
    streamed.writeFailed = std::fwrite(data, 1, size, out) != size;
    return !streamed.writeFailed;
  };
  streamed.fetched = fetch(session, request, sink, streamed.error, responded);
  return streamed;
}

// Hashes the first length bytes of the file; false when it holds fewer.
bool HashStart(const fs::path& path, uint64_t length, Sha256Hasher& hasher) {
  uint64_t hashed = 0;
  const bool read = ReadFileInPieces(
      path,
      [&](const char* data, size_t size) {
        UpdateSha256(hasher, data, size);
        hashed += size;
        return true;
      },
      length);
  return read && hashed == length;
}

enum class Continued { Done, NotFetched, NotWritten, Again };

// The rest of a file cut short, from resumeFrom on. Again when the whole file is to be fetched.
Continued Continue(const HttpFetcher& fetch, HttpSession& session, const HttpRequest& request,
                   const std::string& sha256, Sha256Provider& provider, const fs::path& destination,
                   uint64_t resumeFrom, std::string& error, bool& responded) {
  std::FILE* out = OpenForUpdating(destination);
  if (out == nullptr) return Continued::NotWritten;
  const Sha256HasherOwner hasher = StartSha256(provider);
  if (!HashStart(destination, resumeFrom, *hasher) || !SeekOpenFile(out, resumeFrom)) {
    std::fclose(out);
    return Continued::Again;
  }
  HttpRequest rest = request;
  rest.rangeStart = resumeFrom;
  rest.rangeLength = request.expectedSize - resumeFrom;
  rest.maxBytes = rest.rangeLength;
  rest.expectedSize = rest.rangeLength;
  rest.rangeIgnored = kRangeIgnored;
  const Streamed streamed = Stream(fetch, session, rest, out, *hasher, responded);
  const bool written = CloseStagedFile(out) && !streamed.writeFailed;
  if (streamed.tooLong || (!streamed.fetched && streamed.error == kRangeIgnored) ||
      (!streamed.fetched && streamed.error == request.tooLong) ||
      (streamed.fetched && written && FinishSha256Hex(*hasher) != sha256)) {
    return Continued::Again;
  }
  if (!written) {
    RemovePathTree(destination);
    return Continued::NotWritten;
  }
  if (!streamed.fetched) {
    error = streamed.error;
    return Continued::NotFetched;
  }
  return Continued::Done;
}

}  // namespace

StagedFile InspectStagedFile(const fs::path& destination, uint64_t size, const std::string& sha256,
                             Sha256Provider& provider, uint64_t slack) {
  StagedFile staged;
  std::string none;
  uint64_t length = 0;
  if (EntryKindOf(destination) != EntryKind::File || !ReadFileTail(destination, 0, none, length)) {
    return staged;
  }
  if (length == size) {
    staged.whole = HashFileExcerpt(destination, provider) == sha256;
    // The run that wrote it may have been stopped before its flush: the file counts only once
    // its bytes are sure to be on the disk, as a file written by this run does.
    if (staged.whole) staged.whole = CloseStagedFile(OpenForUpdating(destination));
  } else if (length < size) {
    staged.resumeFrom = length > slack ? length - slack : 0;
  }
  return staged;
}

DownloadOutcome DownloadStagedFile(const HttpFetcher& fetch, HttpSession& session,
                                   const HttpRequest& request, const std::string& sha256,
                                   Sha256Provider& provider, const fs::path& destination,
                                   uint64_t resumeFrom, std::string& error, bool& responded) {
  if (resumeFrom > 0 && resumeFrom < request.expectedSize) {
    switch (Continue(fetch, session, request, sha256, provider, destination, resumeFrom, error,
                     responded)) {
      case Continued::Done:
        return DownloadOutcome::Done;
      case Continued::NotFetched:
        return DownloadOutcome::NotFetched;
      case Continued::NotWritten:
        return DownloadOutcome::NotWritten;
      case Continued::Again:
        break;
    }
  }

  std::FILE* out = OpenForWriting(destination);
  if (out == nullptr) return DownloadOutcome::NotWritten;
  const Sha256HasherOwner hasher = StartSha256(provider);
  const Streamed streamed = Stream(fetch, session, request, out, *hasher, responded);
  const bool written = CloseStagedFile(out) && !streamed.writeFailed;
  // A body longer than signed is wrong whatever else went wrong with it.
  const bool wrong = streamed.tooLong || (!streamed.fetched && streamed.error == request.tooLong) ||
                     (streamed.fetched && written && FinishSha256Hex(*hasher) != sha256);
  if (wrong || !written) {
    RemovePathTree(destination);
    if (wrong) error = request.tooLong;
    return wrong ? DownloadOutcome::Wrong : DownloadOutcome::NotWritten;
  }
  if (!streamed.fetched) {
    error = streamed.error;
    return DownloadOutcome::NotFetched;
  }
  return DownloadOutcome::Done;
}
