#include "app/command_line.h"

#include <array>
#include <system_error>

#include "common/text.h"
#include "net/website.h"

namespace {

constexpr std::string_view kLinkPrefix = "kelvadon:";

// The extension of a path by the usual rules: last component after '\' or '/', not counting a
// drive ("C:") or a server name ("\\server"), cut at the first ':' (alternate stream), from the
// last '.'; "." and ".." and names whose only dot leads have none.
std::string_view PathExtension(std::string_view path) {
  std::string_view name = path;
  if (name.size() >= 2 && name[1] == ':' &&
      ((name[0] >= 'A' && name[0] <= 'Z') || (name[0] >= 'a' && name[0] <= 'z'))) {
    name.remove_prefix(2);
  }
  const size_t slash = name.find_last_of("\\/");
  if (slash != std::string_view::npos) {
    name.remove_prefix(slash + 1);
  }
  // A bare "\\server" ends up as the server's name after the last separator; a server name is
  // never a file name, so such a path has no extension.
  if (path.size() >= 2 && (path[0] == '\\' || path[0] == '/') &&
      (path[1] == '\\' || path[1] == '/') &&
      path.find_first_of("\\/", 2) == std::string_view::npos) {
    return {};
  }
  const size_t colon = name.find(':');
  if (colon != std::string_view::npos) name = name.substr(0, colon);
  if (name == "." || name == "..") return {};
  const size_t dot = name.rfind('.');
  if (dot == std::string_view::npos || dot == 0) return {};
  return name.substr(dot);
}

// Makes a path absolute against a folder; a path that cannot be converted stays as it is.
std::filesystem::path Absolute(const std::filesystem::path& path,
                               const std::filesystem::path& currentFolder) {
  if (path.is_absolute() || currentFolder.empty()) return path;
  return currentFolder / path;
}

}  // namespace

bool IsDocumentPath(std::string_view path) {
  static constexpr std::array<std::string_view, 4> kExtensions = {".kelvlvl", ".json", ".kelvl",
                                                                  ".kelvm"};
  const std::string extension = AsciiLower(PathExtension(path));
  for (const std::string_view wanted : kExtensions) {
    if (extension == wanted) return true;
  }
  return false;
}

LaunchContext ParseCommandLine(const std::vector<std::string>& args,
                               const std::filesystem::path& currentFolder) {
  LaunchContext context;
  std::string optionWebsite;
  std::filesystem::path optionHome;
  bool optionUninstall = false;
  bool optionRepair = false;
  std::string document;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    const bool hasValue = i + 1 < args.size();
    // Windows hands a link to its scheme's handler whatever the case of the scheme.
    if (arg.size() >= kLinkPrefix.size() &&
        AsciiLower(arg.substr(0, kLinkPrefix.size())) == kLinkPrefix) {
      context.link = arg;
    } else if (arg == "--studio") {
      context.studio = true;
    } else if (arg == "--uninstall") {
      optionUninstall = true;
    } else if (arg == "--no-start") {
      context.noStart = true;
    } else if (arg == "--repair") {
      optionRepair = true;
    } else if (arg == "--website" && hasValue) {
      optionWebsite = NormalizeWebsite(args[++i]);
    } else if (arg == "--home" && hasValue) {
      // A value that is not valid UTF-8 is ignored: the default InstallRoot stays.
      try {
        optionHome = PathFromUtf8(args[++i]);
      } catch (const std::system_error&) {
        optionHome.clear();
      }
    } else if (IsDocumentPath(arg)) {
      document = arg;
    }
  }
  // A link comes from outside (a web page, a chat message, a document); a raw quote in it can
  // split it into extra arguments, so nothing that redirects the install, the website or the
  // studio is taken with one. Nor are --uninstall and --repair: the entry in Windows' list of
  // programs never passes a link, and a web page must not put the uninstall question, or the wait
  // for every file to be read, in front of a player.
  // --studio and --no-start stay: a link always starts the player, so --studio changes nothing,
  // and --no-start only holds the start back.
  if (context.link.empty()) {
    context.website = optionWebsite;
    if (!optionHome.empty()) context.installRoot = Absolute(optionHome, currentFolder);
    context.uninstall = optionUninstall;
    context.repair = optionRepair;
    context.document = document;
    if (!document.empty()) context.studio = true;
  }
  if (!context.document.empty()) {
    try {
      const std::filesystem::path document = PathFromUtf8(context.document);
      if (!document.is_absolute()) context.document = PathToUtf8(Absolute(document, currentFolder));
    } catch (const std::system_error&) {
      // Left as given; the studio reports a document it cannot open.
    }
  }
  return context;
}

LaunchContext ParseCommandLine(const std::vector<std::string>& args) {
  std::error_code ec;
  std::filesystem::path current = std::filesystem::current_path(ec);
  if (ec) current.clear();
  return ParseCommandLine(args, current);
}

std::string QueryParameter(std::string_view link, std::string_view name) {
  const size_t question = link.find('?');
  if (question == std::string_view::npos) return {};
  std::string_view query = link.substr(question + 1);
  while (true) {
    const size_t amp = query.find('&');
    const std::string_view piece = query.substr(0, amp);
    const size_t equals = piece.find('=');
    if (equals != std::string_view::npos && piece.substr(0, equals) == name) {
      return PercentDecode(piece.substr(equals + 1));
    }
    if (amp == std::string_view::npos) return {};
    query.remove_prefix(amp + 1);
  }
}

std::string PercentDecode(std::string_view text) {
  const auto hexValue = [](char c) -> int {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  };
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '%' && i + 2 < text.size() && hexValue(text[i + 1]) >= 0 &&
        hexValue(text[i + 2]) >= 0) {
      out.push_back(static_cast<char>(hexValue(text[i + 1]) * 16 + hexValue(text[i + 2])));
      i += 2;
    } else if (c == '+') {
      out.push_back(' ');
    } else {
      out.push_back(c);
    }
  }
  return out;
}

std::string FirstLine(std::string_view text) {
  return std::string(text.substr(0, text.find_first_of("\r\n")));
}
