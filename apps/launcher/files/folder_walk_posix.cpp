#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <memory>
#include <string_view>

#include "files/folder_walk.h"

namespace fs = std::filesystem;

namespace {

struct DirCloser {
  void operator()(DIR* dir) const { closedir(dir); }
};

void WalkInto(const fs::path& folder, const fs::path& relative, std::vector<FolderEntry>& entries) {
  const std::unique_ptr<DIR, DirCloser> dir(opendir((folder / relative).c_str()));
  if (!dir) return;
  std::vector<fs::path> below;
  while (const dirent* entry = readdir(dir.get())) {
    const std::string_view name = entry->d_name;
    if (name == "." || name == "..") continue;
    struct stat status = {};
    if (fstatat(dirfd(dir.get()), entry->d_name, &status, AT_SYMLINK_NOFOLLOW) != 0) continue;
    FolderEntry found{.path = relative / std::string(name)};
    if (S_ISLNK(status.st_mode)) {
      found.kind = EntryKind::Link;
    } else if (S_ISDIR(status.st_mode)) {
      found.kind = EntryKind::Folder;
      below.push_back(found.path);
    } else {
      found.kind = EntryKind::File;
      found.size = static_cast<uint64_t>(status.st_size);
    }
    entries.push_back(std::move(found));
  }
  for (const fs::path& inner : below) WalkInto(folder, inner, entries);
}

}  // namespace

std::vector<FolderEntry> WalkFolder(const fs::path& folder) {
  std::vector<FolderEntry> entries;
  WalkInto(folder, {}, entries);
  return entries;
}
