#include <windows.h>

#include "common/system.h"
#include "files/file_status.h"

namespace fs = std::filesystem;

void ReadStatuses(const fs::path& folder, const std::vector<fs::path>& relatives, size_t begin,
                  size_t end, std::vector<FileStatus>& statuses) {
  for (size_t i = begin; i < end; ++i) {
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExW(FileSystemPath(folder / relatives[i]).c_str(), GetFileExInfoStandard,
                              &data)) {
      continue;
    }
    if ((data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
      statuses[i] = {EntryKind::Link, 0};
    } else if ((data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
      statuses[i] = {EntryKind::Folder, 0};
    } else {
      statuses[i] = {EntryKind::File,
                     (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow};
    }
  }
}
