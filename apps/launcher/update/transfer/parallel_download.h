#pragma once

// Several downloads at once. A far website costs a round trip per request and a connection may be
// capped in bandwidth, so files are fetched by a few workers side by side, each over a session of
// its own and hashing what it receives. A large file is fetched as byte ranges over several
// connections, written at their offsets, and read back whole to check its fingerprint. The
// calling thread only watches: it reports the bytes and says when a worker waits for another
// program. Every worker has ended before DownloadFiles returns.

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "net/http.h"
#include "update/transfer/resume.h"
#include "update/transfer/transfer.h"

// One file to fetch into the staging folder.
struct DownloadJob {
  // The file's address, its size in expectedSize (and as maxBytes, when not 0), and the sentence
  // for a file that comes out wrong in tooLong. progress is not used.
  HttpRequest request;
  std::string sha256;
  std::filesystem::path destination;
  uint64_t resumeFrom = 0;  // bytes an interrupted run left there, to be kept
};

// The bytes at the end of a staged file of that size that the download writing it may have left
// unwritten: pieces are taken in order and written at their offsets, so only those running at
// once can leave holes.
uint64_t RangedSlackBytes(uint64_t size, const DownloadSettings& settings);

struct DownloadsResult {
  // The first job in order that failed, or the number of jobs when every one was fetched whole.
  // Jobs after a failed one are stopped; every job before it runs to its end, so which job is
  // named does not depend on timing.
  size_t failed = 0;
  DownloadOutcome outcome = DownloadOutcome::Done;  // the failed job's, as DownloadToFile's
  std::string error;                                // its sentence, as DownloadToFile's
  // The bytes counted for all jobs: what each received, at most its size less resumeFrom.
  uint64_t counted = 0;
};

// Called on the calling thread with the bytes counted so far; never smaller than the last call.
using DownloadsProgress = std::function<void(uint64_t counted)>;

// Fetches every job to its destination. A file that came out wrong is removed; one cut short by
// a failure or a stop is left for the next run to continue. waiting is called on the calling
// thread when a worker starts to wait for another program to let go of a file. What a worker
// throws is thrown here once every worker has ended.
DownloadsResult DownloadFiles(const HttpFetcher& fetch, HttpSession& session,
                              const std::vector<DownloadJob>& jobs,
                              const DownloadsProgress& progress,
                              const std::function<void()>& waiting,
                              const DownloadSettings& settings = {});
