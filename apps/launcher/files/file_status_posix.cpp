#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "files/file_status.h"

namespace fs = std::filesystem;

void ReadStatuses(const fs::path& folder, const std::vector<fs::path>& relatives, size_t begin,
                  size_t end, std::vector<FileStatus>& statuses) {
  // Each path is looked up from the open folder rather than from the root.
  const int fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  for (size_t i = begin; i < end; ++i) {
    struct stat status = {};
    if (fstatat(fd, relatives[i].c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0) continue;
    if (S_ISLNK(status.st_mode)) {
      statuses[i] = {EntryKind::Link, 0};
    } else if (S_ISDIR(status.st_mode)) {
      statuses[i] = {EntryKind::Folder, 0};
    } else {
      statuses[i] = {EntryKind::File, static_cast<uint64_t>(status.st_size)};
    }
  }
  close(fd);
}
