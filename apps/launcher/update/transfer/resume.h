#pragma once

// Picking up what an interrupted run left in the staging folder of the same version: a file that
// is already whole is kept, and a file cut short continues from the length it has. Files are
// addressed by fingerprint and never change, so the rest of one can safely be asked for as a
// range; the whole file is checked against its fingerprint at the end either way.

#include <cstdint>
#include <filesystem>
#include <string>

#include "update/transfer/transfer.h"
#include "update/trust/crypto.h"

struct StagedFile {
  bool whole = false;       // the file there has the manifest's size and fingerprint
  uint64_t resumeFrom = 0;  // otherwise: where a download continues (0 starts it again)
};

// What the staging folder already holds at destination for a file of the manifest. Only a plain
// file counts; anything else is left for the write to deal with as before. slack is how many
// bytes at the end of a file cut short are not trusted to have been written, and are given back:
// none for a file written from its start in order, more for one written as ranges at their
// offsets, which may have holes among the pieces that were running at once.
StagedFile InspectStagedFile(const std::filesystem::path& destination, uint64_t size,
                             const std::string& sha256, Sha256Provider& provider,
                             uint64_t slack = 0);

// Fetches the file of request (its size in request.expectedSize) into destination, hashing it on
// the way. When resumeFrom is not 0 the bytes before it are kept and hashed first and only the
// rest is asked for; a continuation that comes out wrong, or that the website answers whole, is
// fetched whole once more. A fetch that fails part way leaves what was written for the next run;
// a wrong file, or one that could not be written, is removed. Outcomes and error as for
// DownloadToFile.
DownloadOutcome DownloadStagedFile(const HttpFetcher& fetch, HttpSession& session,
                                   const HttpRequest& request, const std::string& sha256,
                                   Sha256Provider& provider,
                                   const std::filesystem::path& destination, uint64_t resumeFrom,
                                   std::string& error, bool& responded);
