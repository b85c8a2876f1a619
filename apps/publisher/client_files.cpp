#include <fcntl.h>
#include <locale.h>
#include <sys/stat.h>
#include <unistd.h>
#include <wctype.h>

#include <algorithm>
#include <map>
#include <system_error>

#include "common/text.h"
#include "publisher.h"
#include "update/store/install_root.h"
#include "update/trust/names.h"

namespace fs = std::filesystem;

namespace {

std::string AsciiUpper(std::string_view text) {
  std::string out(text);
  for (char& c : out) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return out;
}

// Windows compares names without regard to case, letter by letter beyond ASCII too, so two
// client paths that differ only so would land in one file. glibc's UTF-8 locale has the simple
// upper-case mapping Windows uses; without it only ASCII letters are folded.
std::string FoldCase(std::string_view utf8) {
  static const locale_t locale = newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(0));
  if (locale == static_cast<locale_t>(0)) return AsciiUpper(utf8);
  std::wstring wide = Utf8ToWide(utf8);
  for (wchar_t& c : wide) c = static_cast<wchar_t>(towupper_l(static_cast<wint_t>(c), locale));
  return WideToUtf8(wide);
}

// Names the launcher writes into every version folder itself.
bool IsLauncherFileName(std::string_view name) {
  const std::string upper = AsciiUpper(name);
  return upper == AsciiUpper(kManifestFileName) || upper == AsciiUpper(kSignatureFileName) ||
         upper == AsciiUpper(kMarkerFileName);
}

std::string Quoted(std::string_view utf8) { return "\"" + ReplaceInvalidUtf8(utf8) + "\""; }

}  // namespace

std::string ClientPathProblem(std::string_view path) {
  size_t start = 0;
  while (start <= path.size()) {
    const size_t end = std::min(path.find('/', start), path.size());
    const std::string_view piece = path.substr(start, end - start);
    const std::string problem = WindowsNameProblem(piece);
    if (!problem.empty()) {
      if (piece.size() == path.size()) return Quoted(path) + " " + problem;
      return Quoted(path) + ": the name " + Quoted(piece) + " " + problem;
    }
    start = end + 1;
  }
  if (!IsValidManifestPath(path)) {
    return Quoted(path) +
           " is not a path the launcher accepts (at most 300 bytes, no \".\" or \"..\" folders)";
  }
  return {};
}

bool ListClientFiles(const fs::path& clientFolder, std::vector<ClientFile>& files,
                     std::string& error) {
  files.clear();
  std::vector<std::string> problems;
  std::error_code ec;
  if (!fs::is_directory(clientFolder, ec)) {
    error = "The client folder \"" + clientFolder.string() + "\" is not a folder.";
    return false;
  }
  // Every path, folders included, under its case-folded form: two that fold alike would be one
  // file or folder on Windows.
  std::map<std::string, std::string> folded;
  auto noteName = [&](const std::string& path) {
    const auto [it, added] = folded.emplace(FoldCase(path), path);
    if (!added) {
      problems.push_back(Quoted(path) + " and " + Quoted(it->second) +
                         " differ only in upper and lower case, which Windows cannot keep apart.");
    }
  };

  fs::recursive_directory_iterator it(clientFolder, ec);
  const fs::recursive_directory_iterator end;
  for (; !ec && it != end; it.increment(ec)) {
    const fs::path relative = it->path().lexically_relative(clientFolder);
    std::string path;
    for (const fs::path& piece : relative) {
      if (!path.empty()) path += '/';
      path += piece.native();
    }
    const std::string problem = ClientPathProblem(path);
    if (!problem.empty()) {
      problems.push_back(problem + ".");
      if (it->is_directory(ec)) it.disable_recursion_pending();
      continue;
    }
    if (path.find('/') == std::string::npos && IsLauncherFileName(path)) {
      problems.push_back(Quoted(path) +
                         " at the top of the client folder would clash with the file of that "
                         "name the launcher writes into each version folder.");
    }
    const fs::file_status status = it->symlink_status(ec);
    if (ec) break;
    if (fs::is_symlink(status)) {
      problems.push_back(Quoted(path) + " is a symbolic link; put the file itself there.");
    } else if (fs::is_directory(status)) {
      noteName(path);
    } else if (!fs::is_regular_file(status)) {
      problems.push_back(Quoted(path) + " is not an ordinary file.");
    } else {
      noteName(path);
      struct stat listed = {};
      if (lstat(it->path().c_str(), &listed) != 0 || !S_ISREG(listed.st_mode)) {
        problems.push_back(Quoted(path) + " changed while the client folder was being read.");
        continue;
      }
      files.push_back({path, it->path(), static_cast<uint64_t>(listed.st_dev),
                       static_cast<uint64_t>(listed.st_ino)});
    }
  }
  if (ec) {
    problems.push_back("Could not read the client folder \"" + clientFolder.string() +
                       "\": " + ec.message() + ".");
  }
  for (const char* required : {"kelvadon_player.exe", "kelvadon_studio.exe"}) {
    const bool present = std::any_of(files.begin(), files.end(),
                                     [&](const ClientFile& file) { return file.path == required; });
    if (!present) {
      problems.push_back(std::string("The client folder has no ") + required +
                         " at its top; the launcher starts it from there.");
    }
  }
  if (!problems.empty()) {
    files.clear();
    error.clear();
    for (const std::string& problem : problems) error += problem + "\n";
    error.pop_back();
    return false;
  }
  std::sort(files.begin(), files.end(),
            [](const ClientFile& a, const ClientFile& b) { return a.path < b.path; });
  return true;
}

bool ReadClientFile(const ClientFile& file, std::string& bytes, std::string& error) {
  bytes.clear();
  const std::string name = "\"" + file.source.string() + "\"";
  const int fd = open(file.source.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) {
    error = errno == ELOOP ? name + " became a symbolic link while it was being published."
                           : "Could not read " + name + ".";
    return false;
  }
  struct stat status = {};
  bool ok = fstat(fd, &status) == 0;
  if (ok && (!S_ISREG(status.st_mode) || static_cast<uint64_t>(status.st_dev) != file.device ||
             static_cast<uint64_t>(status.st_ino) != file.inode)) {
    close(fd);
    error = name + " was replaced by another file while it was being published; publish again.";
    return false;
  }
  char buffer[1 << 16];
  while (ok) {
    const ssize_t got = read(fd, buffer, sizeof(buffer));
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) {
      ok = got == 0;
      break;
    }
    bytes.append(buffer, static_cast<size_t>(got));
  }
  close(fd);
  if (!ok) {
    bytes.clear();
    error = "Could not read " + name + ".";
  }
  return ok;
}
