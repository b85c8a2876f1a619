#pragma once

// What files' directory entries say of them, without opening them: checking the thousands of
// files of a version costs one status read each. Listing their folders instead would cost more,
// on Wine far more (it opens each folder through its server).

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <vector>

#include "files/disk.h"

struct FileStatus {
  EntryKind kind = EntryKind::Missing;
  uint64_t size = 0;  // a file's size in bytes
};

// What each path below folder names, as EntryKindOf says, and a file's size; Missing also when
// the status cannot be read. Read on two threads, as a start reads a whole version's.
std::vector<FileStatus> StatusesOf(const std::filesystem::path& folder,
                                   const std::vector<std::filesystem::path>& relatives);

// The platform's part: the statuses of relatives[begin, end) into statuses.
void ReadStatuses(const std::filesystem::path& folder,
                  const std::vector<std::filesystem::path>& relatives, size_t begin, size_t end,
                  std::vector<FileStatus>& statuses);
