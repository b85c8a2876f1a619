#pragma once

#include <chrono>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

// What the command line and the website resolution give the launch Job.
struct LaunchContext {
  std::string link;     // last argument starting with "kelvadon:" in any case
  std::string website;  // always a NormalizeWebsite result, or empty
  // The website came from the link's "origin" alone: it serves this run and is written nowhere.
  bool websiteFromLink = false;
  std::filesystem::path
      installRoot;        // --home (made absolute); empty until the default is filled in
  std::string playToken;  // from the stamp or the setup file name
  std::string document;   // last document argument (made absolute)
  bool studio = false;
  bool noStart = false;
  bool uninstall = false;
  // Check every file of the current version by its fingerprint and put back what changed; start
  // nothing unless the studio or a document is asked for too.
  bool repair = false;
  std::chrono::steady_clock::time_point startTime;
};

// Reads the arguments (without the program's own path). Never fails. Relative --home and document
// paths are made absolute against currentFolder.
LaunchContext ParseCommandLine(const std::vector<std::string>& args,
                               const std::filesystem::path& currentFolder);
// The same against the process's current folder.
LaunchContext ParseCommandLine(const std::vector<std::string>& args);

// True when the path's file name ends in one of the document extensions (any ASCII case).
bool IsDocumentPath(std::string_view path);

// The percent-decoded value of a query parameter of a link; empty when absent.
std::string QueryParameter(std::string_view link, std::string_view name);
// Decodes %XX escapes and '+'; bytes are not checked for UTF-8.
std::string PercentDecode(std::string_view text);
// The text before the first CR or LF.
std::string FirstLine(std::string_view text);
