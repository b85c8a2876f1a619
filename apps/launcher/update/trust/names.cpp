#include "update/trust/names.h"

#include <algorithm>

#include "common/text.h"

namespace {

bool IsReservedDeviceName(std::string_view name) {
  // The device name counts up to the first dot and without trailing spaces: "nul.txt" and
  // "com1 .log" are devices too.
  std::string_view base = name.substr(0, name.find('.'));
  while (!base.empty() && base.back() == ' ') base.remove_suffix(1);
  const std::string lower = AsciiLower(base);
  if (lower == "con" || lower == "prn" || lower == "aux" || lower == "nul" || lower == "conin$" ||
      lower == "conout$") {
    return true;
  }
  if (lower.size() >= 4 && (lower.starts_with("com") || lower.starts_with("lpt"))) {
    const std::string_view number = std::string_view(lower).substr(3);
    // "\xC2\xB9", "\xC2\xB2", "\xC2\xB3": superscript one, two and three, which Windows also
    // takes for device numbers.
    return (number.size() == 1 && number[0] >= '0' && number[0] <= '9') || number == "\xC2\xB9" ||
           number == "\xC2\xB2" || number == "\xC2\xB3";
  }
  return false;
}

// A '~' followed by a digit is how Windows spells the 8.3 short name of a long one
// ("KELVAD~1.EXE"); such a name may open another file than the one it was given for.
bool LooksLikeShortName(std::string_view name) {
  for (size_t i = name.find('~'); i != std::string_view::npos; i = name.find('~', i + 1)) {
    if (i + 1 < name.size() && name[i + 1] >= '0' && name[i + 1] <= '9') return true;
  }
  return false;
}

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
  if (LooksLikeShortName(name)) {
    return "has a '~' followed by a digit, which Windows may take for another file's short name";
  }
  return {};
}

std::string VersionNameProblem(std::string_view name) {
  bool allowed = !name.empty() && name.size() <= 40 && name.front() != '.';
  for (const char c : name) {
    allowed = allowed && ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                          (c >= '0' && c <= '9') || c == '-' || c == '.');
  }
  if (!allowed) return "1 to 40 ASCII letters, digits, '-' and '.', not starting with '.'";
  // A name Windows changes would leave Versions\<version> under another name than current.txt
  // gives, and a device name cannot be a folder at all.
  const std::string problem = WindowsNameProblem(name);
  return problem.empty() ? std::string() : "it " + problem;
}

bool IsValidVersionName(std::string_view name) { return VersionNameProblem(name).empty(); }
