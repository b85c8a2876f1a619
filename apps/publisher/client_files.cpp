#include <locale.h>
#include <wctype.h>

#include <algorithm>
#include <map>
#include <system_error>

#include "common/text.h"
#include "publisher.h"
#include "update/layout.h"

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

bool IsReservedDeviceName(std::string_view name) {
  // The device name counts up to the first dot and without trailing spaces: "nul.txt" and
  // "com1 .log" are devices too.
  std::string_view base = name.substr(0, name.find('.'));
  while (!base.empty() && base.back() == ' ') base.remove_suffix(1);
  const std::string upper = AsciiUpper(base);
  if (upper == "CON" || upper == "PRN" || upper == "AUX" || upper == "NUL" || upper == "CONIN$" ||
      upper == "CONOUT$") {
    return true;
  }
  if (upper.size() >= 4 && (upper.starts_with("COM") || upper.starts_with("LPT"))) {
    const std::string_view number = std::string_view(upper).substr(3);
    // "\xC2\xB9", "\xC2\xB2", "\xC2\xB3": superscript one, two and three, which Windows also
    // takes for device numbers.
    return (number.size() == 1 && number[0] >= '0' && number[0] <= '9') || number == "\xC2\xB9" ||
           number == "\xC2\xB2" || number == "\xC2\xB3";
  }
  return false;
}

// Names the launcher writes into every version folder itself.
bool IsLauncherFileName(std::string_view name) {
  const std::string upper = AsciiUpper(name);
  return upper == AsciiUpper(kManifestFileName) || upper == AsciiUpper(kSignatureFileName) ||
         upper == AsciiUpper(kMarkerFileName);
}

std::string Quoted(std::string_view utf8) { return "\"" + ReplaceInvalidUtf8(utf8) + "\""; }

}  // namespace

std::string WindowsNameProblem(std::string_view name) {
  if (!IsValidUtf8(name)) return "is not valid UTF-8";
  for (const char c : name) {
    if (static_cast<unsigned char>(c) < 0x20) return "holds a control character";
    if (std::string_view("<>:\"|?*").find(c) != std::string_view::npos) {
      return std::string("holds the character ") + c + ", which Windows does not allow in names";
    }
    if (c == '\\') return "holds a backslash, which the launcher reads as a folder separator";
  }
  if (!name.empty() && (name.back() == '.' || name.back() == ' ')) {
    return "ends in a dot or a space, which Windows drops";
  }
  if (IsReservedDeviceName(name)) return "is a name Windows keeps for a device";
  return {};
}

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
      files.push_back({path, it->path()});
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
