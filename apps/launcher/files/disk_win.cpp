#include <windows.h>

#include <fcntl.h>
#include <io.h>

#include <string>

#include "common/system.h"
#include "common/windows_handles.h"
#include "files/disk.h"

namespace fs = std::filesystem;

namespace {

std::wstring Long(const fs::path& path) { return FileSystemPath(path).native(); }

int LastError() { return static_cast<int>(GetLastError()); }

// Hands the handle to a C stream, which then owns it.
std::FILE* StreamOf(UniqueFile file, int flags, const char* mode, int& error) {
  const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(file.Get()), flags);
  if (fd == -1) {
    error = ERROR_NOT_ENOUGH_MEMORY;
    return nullptr;
  }
  static_cast<void>(file.Release());
  std::FILE* stream = _fdopen(fd, mode);
  if (stream == nullptr) {
    _close(fd);
    error = ERROR_NOT_ENOUGH_MEMORY;
  }
  return stream;
}

}  // namespace

EntryKind EntryKindOf(const fs::path& path) {
  const DWORD attributes = GetFileAttributesW(Long(path).c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return EntryKind::Missing;
  if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) return EntryKind::Link;
  if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) return EntryKind::Folder;
  return EntryKind::File;
}

int RemoveEntry(const fs::path& path) {
  const std::wstring name = Long(path);
  const DWORD attributes = GetFileAttributesW(name.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return LastError();
  // A junction or folder link is a folder entry: RemoveDirectoryW takes away the link and leaves
  // its target alone.
  if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    return RemoveDirectoryW(name.c_str()) ? 0 : LastError();
  }
  if (DeleteFileW(name.c_str())) return 0;
  const int error = LastError();
  // A read-only file refuses deletion with access denied, which would otherwise read as busy.
  if (error == ERROR_ACCESS_DENIED && (attributes & FILE_ATTRIBUTE_READONLY) != 0 &&
      SetFileAttributesW(name.c_str(), attributes & ~static_cast<DWORD>(FILE_ATTRIBUTE_READONLY))) {
    return DeleteFileW(name.c_str()) ? 0 : LastError();
  }
  return error;
}

int ListFolder(const fs::path& folder, std::vector<fs::path>& names) {
  WIN32_FIND_DATAW data;
  const UniqueFind find(FindFirstFileExW((Long(folder) + L"\\*").c_str(), FindExInfoBasic, &data,
                                         FindExSearchNameMatch, nullptr, 0));
  if (!find) return LastError();
  do {
    const std::wstring_view name = data.cFileName;
    if (name == L"." || name == L"..") continue;
    names.emplace_back(std::wstring(name));
  } while (FindNextFileW(find.Get(), &data));
  const int error = LastError();
  return error == ERROR_NO_MORE_FILES ? 0 : error;
}

int RenameEntry(const fs::path& from, const fs::path& to) {
  // Write-through: the rename publishes a state file, the launcher copy or a version, and it
  // must be on the disk when the call returns.
  return MoveFileExW(Long(from).c_str(), Long(to).c_str(),
                     MOVEFILE_REPLACE_EXISTING | MOVEFILE_COPY_ALLOWED | MOVEFILE_WRITE_THROUGH)
             ? 0
             : LastError();
}

int CreateFolderChain(const fs::path& folder) {
  const std::wstring name = Long(folder);
  if (CreateDirectoryW(name.c_str(), nullptr)) return 0;
  int error = LastError();
  if (error == ERROR_PATH_NOT_FOUND) {
    const fs::path parent = folder.parent_path();
    if (parent.empty() || parent == folder) return error;
    CreateFolderChain(parent);
    if (CreateDirectoryW(name.c_str(), nullptr)) return 0;
    error = LastError();
  }
  // Another run, or an earlier step, may have made it.
  return EntryKindOf(folder) == EntryKind::Folder ? 0 : error;
}

std::FILE* OpenFileForWriting(const fs::path& path, int& error) {
  UniqueFile file(CreateFileW(Long(path).c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                              CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) {
    error = LastError();
    return nullptr;
  }
  return StreamOf(std::move(file), _O_BINARY | _O_WRONLY, "wb", error);
}

std::FILE* OpenFileForUpdating(const fs::path& path, int& error) {
  UniqueFile file(CreateFileW(Long(path).c_str(), GENERIC_READ | GENERIC_WRITE,
                              FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) {
    error = LastError();
    return nullptr;
  }
  return StreamOf(std::move(file), _O_BINARY | _O_RDWR, "r+b", error);
}

std::FILE* OpenFileForReading(const fs::path& path, int& error) {
  // Without FILE_FLAG_BACKUP_SEMANTICS a folder cannot be opened, as wanted.
  UniqueFile file(CreateFileW(Long(path).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) {
    error = LastError();
    return nullptr;
  }
  return StreamOf(std::move(file), _O_BINARY | _O_RDONLY, "rb", error);
}

namespace {

// Volumes that count shared blocks (ReFS, Dev Drive); older headers lack the flag.
constexpr DWORD kSupportsBlockRefcounting = 0x08000000;

}  // namespace

ShareWay ShareWayOf(const fs::path& file) {
  const UniqueFile handle(CreateFileW(Long(file).c_str(), FILE_READ_ATTRIBUTES,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  DWORD flags = 0;
  return handle &&
                 GetVolumeInformationByHandleW(handle.Get(), nullptr, 0, nullptr, nullptr, &flags,
                                               nullptr, 0) &&
                 (flags & kSupportsBlockRefcounting) != 0
             ? ShareWay::Clone
             : ShareWay::Link;
}

int ShareFile(const fs::path& from, const fs::path& to, ShareWay way) {
  const std::wstring source = Long(from);
  const std::wstring target = Long(to);
  if (way == ShareWay::Clone) {
    // The system's copy clones the blocks on such a volume.
    if (CopyFileExW(source.c_str(), target.c_str(), nullptr, nullptr, nullptr,
                    COPY_FILE_FAIL_IF_EXISTS)) {
      return 0;
    }
    const int error = LastError();
    if (error != ERROR_FILE_EXISTS && error != ERROR_ALREADY_EXISTS) DeleteFileW(target.c_str());
    return error;
  }
  return CreateHardLinkW(target.c_str(), source.c_str(), nullptr) ? 0 : LastError();
}

bool RefusesEveryShare(int error) {
  return error == ERROR_NOT_SAME_DEVICE || error == ERROR_INVALID_FUNCTION ||
         error == ERROR_NOT_SUPPORTED || error == ERROR_CALL_NOT_IMPLEMENTED;
}

int FlushFileToDisk(std::FILE* file) {
  const intptr_t handle = _get_osfhandle(_fileno(file));
  if (handle == -1) return ERROR_INVALID_HANDLE;
  return FlushFileBuffers(reinterpret_cast<HANDLE>(handle)) ? 0 : LastError();
}

int FlushStagedFileToDisk(std::FILE* file) { return FlushFileToDisk(file); }

int FlushStagedFilesToDisk(const fs::path& /*folder*/) { return 0; }

int FlushFolderToDisk(const fs::path& /*folder*/) { return 0; }

int FreeDiskBytes(const fs::path& folder, uint64_t& bytes) {
  // A folder name given with its trailing separator is read the same way on every kind of drive.
  std::wstring name = Long(folder);
  if (!name.empty() && name.back() != L'\\') name += L'\\';
  ULARGE_INTEGER available = {};
  if (!GetDiskFreeSpaceExW(name.c_str(), &available, nullptr, nullptr)) return LastError();
  bytes = available.QuadPart;
  return 0;
}

bool OpenFileSize(std::FILE* file, uint64_t& size) {
  const __int64 length = _filelengthi64(_fileno(file));
  if (length < 0) return false;
  size = static_cast<uint64_t>(length);
  return true;
}

bool SeekOpenFile(std::FILE* file, uint64_t offset) {
  return offset <= static_cast<uint64_t>(INT64_MAX) &&
         _fseeki64(file, static_cast<__int64>(offset), SEEK_SET) == 0;
}

bool TruncateOpenFile(std::FILE* file, uint64_t size) {
  return size <= static_cast<uint64_t>(INT64_MAX) && std::fflush(file) == 0 &&
         _chsize_s(_fileno(file), static_cast<__int64>(size)) == 0;
}

bool IsBusyError(int error) {
  return error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION ||
         error == ERROR_ACCESS_DENIED;
}

bool IsMissingError(int error) {
  return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
}
