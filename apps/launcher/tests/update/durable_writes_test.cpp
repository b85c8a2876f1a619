// Installs and updates under strace and checks from the trace that what counts was pushed to the
// disk before it counted: every staged file before the marker is written, the marker before the
// staging folder takes its final name, a state file's replacement before its rename, and each
// folder after a rename into it. A power cut at any moment can then not leave a version with its
// marker but empty files, or an empty state file. The staged files may instead be flushed all
// at once, by a flush of the whole file system after the last of them was written. Linux only;
// skipped when strace is missing or cannot trace.
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "files/file_io.h"
#include "tests/update/test_website.h"
#include "update/store/install_root.h"
#include "update/trust/manifest.h"

namespace fs = std::filesystem;

namespace {

// Where strace is, from PATH; empty when it is not there.
fs::path FindStrace() {
  const char* path = std::getenv("PATH");
  std::stringstream folders(path != nullptr ? path : "/usr/bin:/bin");
  for (std::string folder; std::getline(folders, folder, ':');) {
    const fs::path candidate = fs::path(folder) / "strace";
    if (!folder.empty() && access(candidate.c_str(), X_OK) == 0) return candidate;
  }
  return {};
}

// Runs the install tool under strace, the trace going to traceFile. The tool's exit code, or -1.
int RunTraced(const fs::path& strace, const fs::path& traceFile, const fs::path& root,
              const fs::path& website) {
  std::vector<std::string> args = {strace.string(),
                                   "-f",
                                   "-qq",
                                   "-y",
                                   "-s",
                                   "4096",
                                   "-o",
                                   traceFile.string(),
                                   "-e",
                                   "trace=openat,fsync,fdatasync,syncfs,rename,renameat,"
                                   "renameat2,write,close",
                                   KELVADON_INSTALL_TOOL,
                                   root.string(),
                                   website.string()};
  std::vector<char*> argv;
  for (std::string& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);
  const pid_t pid = fork();
  if (pid == 0) {
    execv(argv[0], argv.data());
    _exit(127);
  }
  int status = 0;
  if (pid < 0 || waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) return -1;
  return WEXITSTATUS(status);
}

enum class Call { Open, Flush, FlushAll, Rename };

struct Event {
  Call call;
  std::string path;  // the file opened or flushed, the rename's source
  std::string to;    // the rename's target
};

// The successful opens for writing, flushes and renames of the trace, in order.
std::vector<Event> ReadTrace(const fs::path& traceFile) {
  static const std::regex line(R"(^(?:\d+\s+)?(\w+)\((.*)\)\s+=\s+(\d+).*$)");
  static const std::regex quoted(R"re("((?:[^"\\]|\\.)*)")re");
  static const std::regex descriptor(R"(^\d+<(.*)>$)");
  std::vector<Event> events;
  std::ifstream in(traceFile);
  for (std::string text; std::getline(in, text);) {
    std::smatch match;
    if (!std::regex_match(text, match, line)) continue;
    const std::string call = match[1];
    const std::string args = match[2];
    std::vector<std::string> strings;
    for (auto it = std::sregex_iterator(args.begin(), args.end(), quoted);
         it != std::sregex_iterator(); ++it) {
      strings.push_back((*it)[1]);
    }
    // Only opens for writing: a staged file is read again when a later entry shares its bytes.
    const bool writing =
        args.find("O_WRONLY") != std::string::npos || args.find("O_RDWR") != std::string::npos;
    if (call == "openat" && !strings.empty() && writing) {
      events.push_back({Call::Open, strings[0], {}});
    } else if ((call == "fsync" || call == "fdatasync") &&
               std::regex_match(args, match, descriptor)) {
      events.push_back({Call::Flush, match[1], {}});
    } else if (call == "syncfs") {
      events.push_back({Call::FlushAll, {}, {}});
    } else if (call.rfind("rename", 0) == 0 && strings.size() >= 2) {
      events.push_back({Call::Rename, strings[0], strings[1]});
    }
  }
  return events;
}

// The place of the first event of the call on the path at or after from; nullopt when none.
std::optional<size_t> Find(const std::vector<Event>& events, Call call, const fs::path& path,
                           size_t from = 0) {
  for (size_t i = from; i < events.size(); ++i) {
    if (events[i].call == call && events[i].path == path.string()) return i;
  }
  return std::nullopt;
}

// The place of the last flush of the path before before; nullopt when none. A flush of the whole
// file system counts for every file.
std::optional<size_t> LastFlushBefore(const std::vector<Event>& events, const fs::path& path,
                                      size_t before, bool wholeCounts = false) {
  std::optional<size_t> found;
  for (size_t i = 0; i < before && i < events.size(); ++i) {
    const bool own = events[i].call == Call::Flush && events[i].path == path.string();
    if (own || (wholeCounts && events[i].call == Call::FlushAll)) found = i;
  }
  return found;
}

// Whether the file was opened for writing again after the flush, before the place given: what
// was written then would not have been flushed.
bool WrittenAgainAfter(const std::vector<Event>& events, const fs::path& path, size_t flushed,
                       size_t before) {
  for (size_t i = flushed + 1; i < before && i < events.size(); ++i) {
    if (events[i].call == Call::Open && events[i].path == path.string()) return true;
  }
  return false;
}

struct Release {
  std::string version;
  std::map<std::string, std::string> files;
};

TEST(DurableWrites, WhatCountsReachedTheDiskBeforeItCounted) {
  std::string reason;
  if (!CanPublish(reason)) GTEST_SKIP() << reason;
  const fs::path strace = FindStrace();
  if (strace.empty()) GTEST_SKIP() << "strace is not installed";
  const fs::path made = MakeScratchFolder("kelvadon-durable-");
  ASSERT_FALSE(made.empty());
  // strace names files by their real paths.
  const fs::path scratch = fs::canonical(made);
  const fs::path root = scratch / "root";
  const fs::path versions = root / kVersionsFolderName;

  // A fresh install that downloads everything, then an update that copies an unchanged file from
  // the installed version, downloads a changed and a new one and leaves one out.
  const std::vector<Release> releases = {
      {"1.0",
       {{"kelvadon_player.exe", "player one"},
        {"kelvadon_studio.exe", "studio one"},
        {"data/maps/first.map", std::string(300000, 'm')},
        {"data/empty.txt", ""}}},
      {"2.0",
       {{"kelvadon_player.exe", "player one"},
        {"kelvadon_studio.exe", "studio two"},
        {"data/maps/second.map", std::string(70000, 's')}}},
  };
  for (const Release& release : releases) {
    SCOPED_TRACE(release.version);
    const fs::path client = scratch / ("client-" + release.version);
    const fs::path website = scratch / ("web-" + release.version);
    WriteFiles(client, release.files);
    std::string output;
    ASSERT_TRUE(PublishVersion(client, release.version, website, {}, output)) << output;

    const fs::path traceFile = scratch / ("trace-" + release.version + ".txt");
    const int exitCode = RunTraced(strace, traceFile, root, website);
    const std::vector<Event> events = ReadTrace(traceFile);
    if (exitCode == 127 || events.empty()) GTEST_SKIP() << "strace cannot trace here";
    ASSERT_EQ(exitCode, 0);
    ASSERT_EQ(ReadBytes(root / kCurrentFileName), release.version + "\n");

    const fs::path staging = versions / (release.version + ".partial");
    const fs::path finalFolder = versions / release.version;
    const std::optional<size_t> markerOpened = Find(events, Call::Open, staging / kMarkerFileName);
    ASSERT_TRUE(markerOpened);
    std::vector<std::string> staged = {kManifestFileName, kSignatureFileName};
    for (const auto& [name, bytes] : release.files) staged.push_back(name);
    for (const std::string& name : staged) {
      const fs::path file = staging / name;
      const std::optional<size_t> flushed = LastFlushBefore(events, file, *markerOpened, true);
      EXPECT_TRUE(flushed) << name << " was not flushed before the marker was written";
      if (flushed) {
        EXPECT_FALSE(WrittenAgainAfter(events, file, *flushed, *markerOpened)) << name;
      }
    }

    std::optional<size_t> renamed;
    for (size_t i = 0; i < events.size() && !renamed; ++i) {
      if (events[i].call == Call::Rename && events[i].path == staging.string() &&
          events[i].to == finalFolder.string()) {
        renamed = i;
      }
    }
    ASSERT_TRUE(renamed) << "the staging folder was not renamed";
    EXPECT_TRUE(LastFlushBefore(events, staging / kMarkerFileName, *renamed))
        << "the marker was not flushed before the folder took its final name";
    EXPECT_TRUE(Find(events, Call::Flush, versions, *renamed + 1))
        << "the versions folder was not flushed after the rename";

    // Every state file replaced: its replacement flushed before its rename, its folder after.
    bool currentReplaced = false;
    for (size_t i = 0; i < events.size(); ++i) {
      const Event& event = events[i];
      if (event.call != Call::Rename || event.path != ReplacementPath(event.to).string()) continue;
      SCOPED_TRACE(event.to);
      currentReplaced = currentReplaced || event.to == (root / kCurrentFileName).string();
      const std::optional<size_t> flushed = LastFlushBefore(events, event.path, i);
      EXPECT_TRUE(flushed) << "the replacement was not flushed before its rename";
      if (flushed) {
        EXPECT_FALSE(WrittenAgainAfter(events, event.path, *flushed, i));
      }
      EXPECT_TRUE(Find(events, Call::Flush, fs::path(event.to).parent_path(), i + 1))
          << "the folder was not flushed after the rename";
    }
    EXPECT_TRUE(currentReplaced) << "current.txt was not replaced through a temporary file";
  }

  std::error_code ec;
  fs::remove_all(made, ec);
}

}  // namespace
