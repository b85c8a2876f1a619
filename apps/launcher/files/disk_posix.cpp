#include <dirent.h>
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <limits>
#include <memory>

#include "files/disk.h"

namespace fs = std::filesystem;

namespace {

struct DirCloser {
  void operator()(DIR* dir) const { closedir(dir); }
};

// Hands the descriptor to a C stream, which then owns it.
std::FILE* StreamOf(int fd, const char* mode, int& error) {
  std::FILE* stream = fdopen(fd, mode);
  if (stream == nullptr) {
    error = errno;
    close(fd);
  }
  return stream;
}

}  // namespace

EntryKind EntryKindOf(const fs::path& path) {
  struct stat status = {};
  if (lstat(path.c_str(), &status) != 0) return EntryKind::Missing;
  if (S_ISLNK(status.st_mode)) return EntryKind::Link;
  if (S_ISDIR(status.st_mode)) return EntryKind::Folder;
  return EntryKind::File;
}

int RemoveEntry(const fs::path& path) {
  struct stat status = {};
  if (lstat(path.c_str(), &status) != 0) return errno;
  const int result = S_ISDIR(status.st_mode) ? rmdir(path.c_str()) : unlink(path.c_str());
  return result == 0 ? 0 : errno;
}

int ListFolder(const fs::path& folder, std::vector<fs::path>& names) {
  const std::unique_ptr<DIR, DirCloser> dir(opendir(folder.c_str()));
  if (!dir) return errno;
  for (;;) {
    errno = 0;
    const dirent* entry = readdir(dir.get());
    if (entry == nullptr) return errno;
    const std::string_view name = entry->d_name;
    if (name == "." || name == "..") continue;
    names.emplace_back(std::string(name));
  }
}

int RenameEntry(const fs::path& from, const fs::path& to) {
  return rename(from.c_str(), to.c_str()) == 0 ? 0 : errno;
}

int CreateFolderChain(const fs::path& folder) {
  if (mkdir(folder.c_str(), 0777) == 0) return 0;
  int error = errno;
  if (error == ENOENT) {
    const fs::path parent = folder.parent_path();
    if (parent.empty() || parent == folder) return error;
    CreateFolderChain(parent);
    if (mkdir(folder.c_str(), 0777) == 0) return 0;
    error = errno;
  }
  // Another run, or an earlier step, may have made it.
  return EntryKindOf(folder) == EntryKind::Folder ? 0 : error;
}

std::FILE* OpenFileForWriting(const fs::path& path, int& error) {
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (fd < 0) {
    error = errno;
    return nullptr;
  }
  return StreamOf(fd, "wb", error);
}

std::FILE* OpenFileForUpdating(const fs::path& path, int& error) {
  const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
  if (fd < 0) {
    error = errno;
    return nullptr;
  }
  return StreamOf(fd, "r+b", error);
}

std::FILE* OpenFileForReading(const fs::path& path, int& error) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    error = errno;
    return nullptr;
  }
  // Linux opens a folder for reading; Windows refuses to, and so does this.
  struct stat status = {};
  if (fstat(fd, &status) != 0 || S_ISDIR(status.st_mode)) {
    error = S_ISDIR(status.st_mode) ? EISDIR : errno;
    close(fd);
    return nullptr;
  }
  return StreamOf(fd, "rb", error);
}

namespace {

// A clone of from's blocks at to (created here); 0 or the errno, with nothing left at to.
int CloneFile(const fs::path& from, const fs::path& to) {
  const int in = open(from.c_str(), O_RDONLY | O_CLOEXEC);
  if (in < 0) return errno;
  const int out = open(to.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
  if (out < 0) {
    const int error = errno;
    close(in);
    return error;
  }
  const int error = ioctl(out, FICLONE, in) == 0 ? 0 : errno;
  close(out);
  close(in);
  if (error != 0) unlink(to.c_str());
  return error;
}

// The errors by which a volume says it has no clones, rather than that this file cannot be one.
bool NoClones(int error) {
  return error == EOPNOTSUPP || error == ENOTTY || error == EINVAL || error == EXDEV ||
         error == ENOSYS || error == EBADF;
}

}  // namespace

ShareWay ShareWayOf(const fs::path& file) {
  constexpr unsigned long kBtrfs = 0x9123683E;
  constexpr unsigned long kXfs = 0x58465342;
  constexpr unsigned long kBcachefs = 0xCA451A4E;
  struct statfs status = {};
  if (statfs(file.c_str(), &status) != 0) return ShareWay::Link;
  const auto type = static_cast<unsigned long>(status.f_type);
  return type == kBtrfs || type == kXfs || type == kBcachefs ? ShareWay::Clone : ShareWay::Link;
}

int ShareFile(const fs::path& from, const fs::path& to, ShareWay way) {
  // An XFS made without reflinks refuses clones: a link then.
  const int cloned = way == ShareWay::Clone ? CloneFile(from, to) : EOPNOTSUPP;
  if (cloned == 0 || !NoClones(cloned)) return cloned;
  return link(from.c_str(), to.c_str()) == 0 ? 0 : errno;
}

bool RefusesEveryShare(int error) {
  return error == EPERM || error == EXDEV || error == EOPNOTSUPP || error == ENOSYS ||
         error == EROFS;
}

int FlushFileToDisk(std::FILE* file) { return fsync(fileno(file)) == 0 ? 0 : errno; }

int FlushStagedFileToDisk(std::FILE* /*file*/) { return 0; }

namespace {

// flush (syncfs or fsync) on the open folder; 0 or the errno of what failed.
int FlushThroughFolder(const fs::path& folder, int (*flush)(int)) {
  const int fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return errno;
  const int result = flush(fd) == 0 ? 0 : errno;
  close(fd);
  return result;
}

}  // namespace

int FlushStagedFilesToDisk(const fs::path& folder) { return FlushThroughFolder(folder, syncfs); }

int FlushFolderToDisk(const fs::path& folder) { return FlushThroughFolder(folder, fsync); }

int FreeDiskBytes(const fs::path& folder, uint64_t& bytes) {
  struct statvfs status = {};
  if (statvfs(folder.c_str(), &status) != 0) return errno;
  bytes = static_cast<uint64_t>(status.f_bavail) * static_cast<uint64_t>(status.f_frsize);
  return 0;
}

bool OpenFileSize(std::FILE* file, uint64_t& size) {
  struct stat status = {};
  if (fstat(fileno(file), &status) != 0) return false;
  size = static_cast<uint64_t>(status.st_size);
  return true;
}

bool SeekOpenFile(std::FILE* file, uint64_t offset) {
  return offset <= static_cast<uint64_t>(std::numeric_limits<off_t>::max()) &&
         fseeko(file, static_cast<off_t>(offset), SEEK_SET) == 0;
}

bool TruncateOpenFile(std::FILE* file, uint64_t size) {
  return size <= static_cast<uint64_t>(std::numeric_limits<off_t>::max()) &&
         std::fflush(file) == 0 && ftruncate(fileno(file), static_cast<off_t>(size)) == 0;
}

bool IsBusyError(int error) { return error == EBUSY || error == ETXTBSY; }

bool IsMissingError(int error) { return error == ENOENT || error == ENOTDIR; }
