#pragma once

// Carrying out plans (plan.h): one bounded set of workers, each over a connection of its own,
// fetches the website pieces of every file at once, a few of one file side by side; every piece
// is written at its offset. Each file is hashed in order as the bytes from its start grow: pieces
// that arrive ahead wait in memory (within a bound shared by all files) rather than being read
// back, and bytes taken from the disk are hashed as they are copied, or, for a whole file the
// volume lets it share, hashed where the link or clone put them. The calling thread only
// watches: it reports the bytes and says when a worker waits for another program.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "net/http.h"
#include "update/transfer/plan.h"

enum class FileOutcome {
  Done,        // the file is at its destination with its fingerprint
  NotFetched,  // the website could not be reached or failed: the result holds its sentence
  Wrong,       // the website's bytes did not match the fingerprint, nor did any copy
  NotWritten,  // the destination could not be opened or written
};

struct TransferResult {
  // The first plan in order that failed, or the number of plans when every one was placed.
  // Plans after a failed one are stopped; every one before it runs to its end, so which plan is
  // named does not depend on timing.
  size_t failed = 0;
  FileOutcome outcome = FileOutcome::Done;
  std::string fetchError;  // NotFetched: what the fetch said
  // The website bytes counted for all plans: what each received, at most its fetchBytes.
  uint64_t counted = 0;
};

// Called on the calling thread with the bytes counted so far; never smaller than the last call.
using TransferProgress = std::function<void(uint64_t counted)>;

// Places every plan. A file that came out wrong or could not be written is removed; one cut short
// by a failure or a stop is left for the next run. waiting is called on the calling thread when
// a worker starts to wait for another program to let go of a file. What a worker throws is thrown
// here once every worker has ended.
TransferResult RunPlans(const HttpFetcher& fetch, HttpSession& session,
                        const std::vector<FilePlan>& plans, const TransferProgress& progress,
                        const std::function<void()>& waiting, const DownloadSettings& settings = {},
                        const FileSharer& share = ShareFile);
