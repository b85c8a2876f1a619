#pragma once

// One walk of a folder tree that gives each entry's kind and a file's size as the folder's
// listing holds them, opening no file: checking thousands of files costs the listing of their
// folders, which matters on a start where nothing changed.

#include <cstdint>
#include <filesystem>
#include <vector>

#include "files/disk.h"

struct FolderEntry {
  std::filesystem::path path;  // relative to the folder walked
  EntryKind kind = EntryKind::Missing;
  uint64_t size = 0;  // a file's size in bytes
};

// Every entry below the folder, a folder before what it holds. A link (any reparse point on
// Windows) is listed as one and never entered. A folder that cannot be listed gives what was
// listed of it until then.
std::vector<FolderEntry> WalkFolder(const std::filesystem::path& folder);
