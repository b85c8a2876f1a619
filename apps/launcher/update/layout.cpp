#include "update/layout.h"

#include <exception>
#include <fstream>
#include <type_traits>
#include <vector>

#include "common/system.h"
#include "common/text.h"
#include "update/disk_steps.h"

namespace fs = std::filesystem;

fs::path GetInstallRoot() {
  fs::path base = KnownFolderPath(KnownFolder::LocalAppData);
  if (base.empty()) base = TemporaryFolder();
  if (base.empty()) return {};
  return base / "Kelvadon";
}

bool IsValidVersionName(std::string_view name) {
  if (name.empty() || name.size() > 40 || name.front() == '.') return false;
  for (const char c : name) {
    const bool allowed = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                         (c >= '0' && c <= '9') || c == '-' || c == '.';
    if (!allowed) return false;
  }
  return true;
}

std::string MarkerText(std::string_view versionName) {
  std::string text = "Kelvadon ";
  text += versionName;
  text +=
      ", installed by KelvadonLauncher.exe.\r\n"
      "Your own files (logins, settings, saves, places) are in the folder two up from here.\r\n";
  return text;
}

fs::path CurrentVersionFolder(const fs::path& root) {
  std::string name;
  if (!ReadWholeFile(root / kCurrentFileName, name)) return {};
  // Only the end is trimmed: a leading space means someone else wrote the file, and the name is
  // then refused rather than guessed at.
  while (!name.empty()) {
    const char last = name.back();
    if (last != ' ' && last != '\t' && last != '\n' && last != '\v' && last != '\f' &&
        last != '\r') {
      break;
    }
    name.pop_back();
  }
  // The name check is what keeps the folder inside Versions: a valid name holds no separator
  // and cannot be "." or "..".
  if (!IsValidVersionName(name)) return {};
  fs::path folder = root / kVersionsFolderName / name;
  std::error_code ec;
  const fs::file_status marker = fs::symlink_status(folder / kMarkerFileName, ec);
  if (ec || !fs::exists(marker)) return {};
  return folder;
}

bool ReadWholeFile(const fs::path& path, std::string& bytes, bool* whole) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  // Linux opens a folder for reading and fails only on the first read, where Windows refuses to
  // open it; both are "cannot open" here.
  std::error_code ec;
  if (fs::is_directory(path, ec)) return false;
  std::string content;
  if (const std::uintmax_t size = fs::file_size(path, ec); !ec && size < content.max_size()) {
    content.reserve(static_cast<std::size_t>(size));
  }
  // istream::read turns a read error into badbit; reading through istreambuf_iterator would let
  // the file buffer's exception escape instead.
  char buffer[64 * 1024];
  while (in.read(buffer, sizeof buffer) || in.gcount() > 0) {
    content.append(buffer, static_cast<std::size_t>(in.gcount()));
  }
  if (whole != nullptr) *whole = !in.bad();
  bytes.swap(content);
  return true;
}

bool WriteWholeFile(const fs::path& path, std::string_view bytes) {
  std::error_code ec;
  fs::create_directories(path.parent_path(), ec);
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  if (!out) return false;
  if (!bytes.empty()) out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  // The bytes may still sit in the stream's buffer: a full disk shows only when they are flushed
  // and the file is closed, so both are checked rather than left to the destructor.
  out.flush();
  out.close();
  return !out.fail();
}

std::error_code RemovePathTree(const fs::path& path) {
  std::error_code ec;
  if (fs::remove(path, ec) || !ec) return {};
  // The reason a non-empty folder gives varies (ENOTEMPTY or EEXIST here; on Windows the library
  // reports the error of a second attempt rather than ERROR_DIR_NOT_EMPTY), so any failure on a
  // folder leads to emptying it. The tree is walked here rather than by remove_all because the
  // Windows library sees a junction or folder link as a plain folder and would empty its target,
  // which may hold the user's own files. A plain removal takes away a link itself whatever it
  // points to, so trying that first at every level never descends through one.
  std::error_code statusError;
  if (!fs::is_directory(fs::symlink_status(path, statusError))) return ec;
  std::vector<fs::path> children;
  std::error_code listError;
  for (fs::directory_iterator it(path, listError), end; !listError && it != end;
       it.increment(listError)) {
    children.push_back(it->path());
  }
  std::error_code first = listError;
  for (const fs::path& child : children) {
    const std::error_code childError = RemovePathTree(child);
    if (!first) first = childError;
  }
  if (fs::remove(path, ec) || !ec) return {};
  return first ? first : ec;
}

bool RenameReplacing(const fs::path& from, const fs::path& to, std::error_code& ec) {
  fs::rename(from, to, ec);
  return !ec;
}

bool ReplaceFileAtomically(const fs::path& path, std::string_view bytes,
                           const fs::path& asideIfBusy) {
  fs::path temporary = path;
  temporary += ".new";
  std::error_code ec;
  BeforeDiskStep();
  if (!WriteWholeFile(temporary, bytes)) {
    fs::remove(temporary, ec);
    return false;
  }
  BeforeDiskStep();
  if (RenameReplacing(temporary, path, ec)) return true;
  std::error_code statusError;
  if (!asideIfBusy.empty() && fs::exists(fs::symlink_status(path, statusError))) {
    BeforeDiskStep();
    if (RenameReplacing(path, asideIfBusy, ec)) {
      BeforeDiskStep();
      if (RenameReplacing(temporary, path, ec)) return true;
      // Without this the name would stay empty until the next successful run.
      RenameReplacing(asideIfBusy, path, ec);
    }
  }
  fs::remove(temporary, ec);
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
