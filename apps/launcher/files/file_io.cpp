#include "files/file_io.h"

#include <algorithm>
#include <cstdint>
#include <exception>
#include <memory>
#include <type_traits>
#include <vector>

#include "common/text.h"
#include "files/disk.h"
#include "files/patience.h"

namespace fs = std::filesystem;

namespace {

bool IsSeparator(fs::path::value_type c) { return c == '\\' || c == '/'; }

}  // namespace

bool IsNetworkPath(const fs::path& path) {
  const fs::path::string_type& text = path.native();
  if (text.size() < 2 || !IsSeparator(text[0]) || !IsSeparator(text[1])) return false;
  // \\?\C:\ and \\.\C:\ are this computer's drives spelled for long paths; anything else after
  // two separators is a server, or a device that is no folder of the player's either.
  const bool prefixed =
      text.size() >= 4 && (text[2] == '?' || text[2] == '.') && IsSeparator(text[3]);
  const bool drive = text.size() >= 6 && text[5] == ':' &&
                     ((text[4] >= 'a' && text[4] <= 'z') || (text[4] >= 'A' && text[4] <= 'Z'));
  return !(prefixed && drive);
}

namespace {

std::error_code SystemError(int error) { return {error, std::system_category()}; }

// Ends a patient attempt at once: no system error has this number.
constexpr int kNoWaitMends = -1;

// A file of the C library, closed when the owner goes.
struct StreamCloser {
  void operator()(std::FILE* file) const { std::fclose(file); }
};
using UniqueStream = std::unique_ptr<std::FILE, StreamCloser>;

int RemoveOnce(const fs::path& path, Waiting waiting) {
  const auto attempt = [&] {
    const int error = RemoveEntry(path);
    return IsMissingError(error) ? 0 : error;
  };
  return waiting == Waiting::Patient ? Patiently(attempt) : attempt();
}

}  // namespace

bool ReadWholeFile(const fs::path& path, std::string& bytes, bool* whole) {
  int error = 0;
  const UniqueStream in(OpenFileForReading(path, error));
  if (!in) return false;
  std::string content;
  if (uint64_t size = 0; OpenFileSize(in.get(), size) && size < content.max_size()) {
    content.reserve(static_cast<std::size_t>(size));
  }
  char buffer[64 * 1024];
  for (;;) {
    const std::size_t got = std::fread(buffer, 1, sizeof buffer, in.get());
    content.append(buffer, got);
    if (got < sizeof buffer) break;
  }
  if (whole != nullptr) *whole = std::ferror(in.get()) == 0;
  bytes.swap(content);
  return true;
}

bool ReadFileInPieces(const fs::path& path, const FilePieceSink& sink, uint64_t limit) {
  int error = 0;
  const UniqueStream in(OpenFileForReading(path, error));
  if (!in) return false;
  std::vector<char> buffer(kFilePieceBytes);
  for (uint64_t left = limit; left > 0;) {
    const auto want = static_cast<size_t>(std::min<uint64_t>(buffer.size(), left));
    const size_t got = std::fread(buffer.data(), 1, want, in.get());
    if (got > 0 && !sink(buffer.data(), got)) return false;
    left -= got;
    if (got < want) break;
  }
  return std::ferror(in.get()) == 0;
}

std::string ReadFilePart(const fs::path& path, uint64_t offset, size_t length) {
  int error = 0;
  const UniqueStream in(OpenFileForReading(path, error));
  uint64_t size = 0;
  if (!in || !OpenFileSize(in.get(), size) || offset >= size) return {};
  std::string bytes(static_cast<size_t>(std::min<uint64_t>(length, size - offset)), '\0');
  if (!SeekOpenFile(in.get(), offset)) return {};
  bytes.resize(std::fread(bytes.data(), 1, bytes.size(), in.get()));
  return bytes;
}

bool ReadFileTail(const fs::path& path, size_t count, std::string& tail, uint64_t& size) {
  int error = 0;
  const UniqueStream in(OpenFileForReading(path, error));
  uint64_t fileSize = 0;
  if (!in || !OpenFileSize(in.get(), fileSize)) return false;
  const uint64_t length = std::min<uint64_t>(count, fileSize);
  std::string bytes(static_cast<size_t>(length), '\0');
  if (!SeekOpenFile(in.get(), fileSize - length) ||
      std::fread(bytes.data(), 1, bytes.size(), in.get()) != bytes.size()) {
    return false;
  }
  size = fileSize;
  tail.swap(bytes);
  return true;
}

bool FileHolds(const fs::path& path, std::string_view bytes) {
  std::string found;
  const bool read = ReadFileInPieces(
      path,
      [&](const char* data, size_t size) {
        found.append(data, size);
        return true;
      },
      static_cast<uint64_t>(bytes.size()) + 1);
  return read && found == bytes;
}

namespace {

// Creates the parent folders, then opens the file with open, waiting patiently while another
// program holds it.
std::FILE* OpenPatiently(const fs::path& path,
                         std::FILE* (*open)(const fs::path& path, int& error)) {
  CreateFolderChain(path.parent_path());
  std::FILE* file = nullptr;
  Patiently([&] {
    int error = 0;
    file = open(path, error);
    // Windows refuses to open a folder with access denied, which no wait can mend.
    if (file == nullptr && IsBusyError(error) && EntryKindOf(path) == EntryKind::Folder) {
      return kNoWaitMends;
    }
    return file != nullptr ? 0 : error;
  });
  return file;
}

}  // namespace

std::FILE* OpenForWriting(const fs::path& path) { return OpenPatiently(path, OpenFileForWriting); }

std::FILE* OpenForUpdating(const fs::path& path) {
  return OpenPatiently(path, OpenFileForUpdating);
}

namespace {

bool CloseFlushed(std::FILE* file, int (*flushToDisk)(std::FILE*)) {
  if (file == nullptr) return false;
  // The bytes may still sit in the stream's buffer: a full disk shows only when they are flushed
  // and the file is closed, so both are checked. They are then pushed on to the disk: after a
  // power cut a file that counted (a staged file, the marker, a state file) must not come back
  // empty or partial.
  const bool flushed = std::fflush(file) == 0 && std::ferror(file) == 0 && flushToDisk(file) == 0;
  const bool closed = std::fclose(file) == 0;
  return flushed && closed;
}

}  // namespace

bool CloseWrittenFile(std::FILE* file) { return CloseFlushed(file, FlushFileToDisk); }

bool CloseStagedFile(std::FILE* file) { return CloseFlushed(file, FlushStagedFileToDisk); }

bool WriteAt(std::FILE* file, uint64_t offset, const char* data, size_t size) {
  return SeekOpenFile(file, offset) && std::fwrite(data, 1, size, file) == size;
}

bool FlushStagedFiles(const fs::path& folder) { return FlushStagedFilesToDisk(folder) == 0; }

bool WriteWholeFile(const fs::path& path, std::string_view bytes) {
  std::FILE* file = OpenForWriting(path);
  if (file == nullptr) return false;
  const bool written =
      bytes.empty() || std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
  return CloseWrittenFile(file) && written;
}

bool CreateFolders(const fs::path& folder, std::error_code& ec) {
  ec = SystemError(CreateFolderChain(folder));
  return !ec;
}

std::error_code RemovePathTree(const fs::path& path, Waiting waiting) {
  const EntryKind kind = EntryKindOf(path);
  if (kind == EntryKind::Missing) return {};
  // A link goes as one entry whatever it leads to: a junction's target may hold the user's own
  // files. Only a real folder is entered.
  if (kind != EntryKind::Folder) return SystemError(RemoveOnce(path, waiting));
  // An empty folder goes at once; the reason a non-empty one gives varies, so any refusal leads
  // to emptying it first.
  if (RemoveEntry(path) == 0) return {};
  std::vector<fs::path> names;
  std::error_code first = SystemError(ListFolder(path, names));
  for (const fs::path& name : names) {
    const std::error_code childError = RemovePathTree(path / name, waiting);
    if (!first) first = childError;
  }
  const std::error_code own = SystemError(RemoveOnce(path, waiting));
  if (!own) return {};
  return first ? first : own;
}

bool RenameReplacing(const fs::path& from, const fs::path& to, std::error_code& ec) {
  int last = 0;
  Patiently([&] {
    last = RenameEntry(from, to);
    // Windows refuses to rename onto a folder with access denied; a folder still there after
    // its removal is not let go of by waiting longer.
    if (last != 0 && IsBusyError(last) && EntryKindOf(to) == EntryKind::Folder) return kNoWaitMends;
    return last;
  });
  ec = SystemError(last);
  return !ec;
}

fs::path ReplacementPath(const fs::path& path) {
  fs::path temporary = path;
  temporary += ".new";
  return temporary;
}

bool ReplaceFileAtomically(const fs::path& path, std::string_view bytes,
                           const fs::path& asideIfBusy) {
  const fs::path temporary = ReplacementPath(path);
  if (!WriteWholeFile(temporary, bytes)) {
    RemovePathTree(temporary);
    return false;
  }
  return CommitReplacement(path, asideIfBusy);
}

bool CommitReplacement(const fs::path& path, const fs::path& asideIfBusy) {
  const fs::path temporary = ReplacementPath(path);
  // The rename itself is pushed to the disk too, or a power cut could bring back the old name.
  // A file system that cannot flush a folder leaves nothing better to do, so its answer is not
  // a failure.
  const auto committed = [&] {
    FlushFolderToDisk(path.parent_path());
    return true;
  };
  std::error_code ec;
  if (asideIfBusy.empty()) {
    if (RenameReplacing(temporary, path, ec)) return committed();
  } else {
    // A running executable never lets go while this run waits, so the way round comes at once.
    if (RenameEntry(temporary, path) == 0) return committed();
    if (EntryKindOf(path) != EntryKind::Missing) {
      if (RenameReplacing(path, asideIfBusy, ec)) {
        if (RenameReplacing(temporary, path, ec)) return committed();
        // Without this the name would stay empty until the next successful run.
        RenameReplacing(asideIfBusy, path, ec);
      }
    } else if (RenameReplacing(temporary, path, ec)) {
      return committed();
    }
  }
  RemovePathTree(temporary);
  return false;
}

std::string PathForMessage(const fs::path& path) {
  try {
    return PathToUtf8(path);
  } catch (const std::exception&) {
    using Unit = std::make_unsigned_t<fs::path::value_type>;
    std::string text;
    for (const fs::path::value_type c : path.native()) {
      const auto unit = static_cast<Unit>(c);
      if (unit < 0x80) {
        text += static_cast<char>(unit);
      } else {
        text += "\xEF\xBF\xBD";
      }
    }
    return text;
  }
}
