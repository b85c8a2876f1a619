// Stops a real update from 1.0 to 2.0 before each of its steps on the disk (every file and folder
// made, written, flushed, renamed or removed: the downloads, the kept files, the manifest copies,
// the marker, the switch, current.txt, the clean-up and the self-update; and the free-space
// check) and in the middle of its downloads, then runs it again, and checks every time that the
// installation stays usable and that the run after the stop fetches no file the stopped one left
// whole. update_interrupt_tool, which this test starts, runs the product's code over a disk
// back-end that counts those steps and stops the process: with SIGKILL on Linux, with
// TerminateProcess on Windows. The same cases run in both builds; the websites are published
// through the test website, which works from both.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <iostream>
#include <map>
#include <string>
#include <vector>

#include "common/text.h"
#include "tests/update/release_key_record.h"
#include "tests/update/test_website.h"
#include "tests/update/tool_process.h"
#include "tests/update/website_scenario.h"
#include "update/store/install_root.h"
#include "update/trust/chunk_list.h"
#include "update/trust/crypto.h"
#include "update/trust/manifest.h"
#include "website_harness.h"

namespace fs = std::filesystem;

namespace {

const std::string kLauncherOne = WithReleaseKey("MZ launcher one");
const std::string kLauncherTwo = WithReleaseKey("MZ launcher two");

struct ToolRun {
  bool killed = false;
  int exitCode = -1;
  long steps = 0;
  unsigned long long clientBytes = 0;
  std::string report;
};

// Where the tool stops itself: before a step on the disk, or once that many bytes of client files
// arrived, between two writes of a download. Nowhere when both are 0.
struct Stop {
  long beforeStep = 0;
  unsigned long long afterBytes = 0;

  std::string Name() const {
    return beforeStep != 0 ? "before step " + std::to_string(beforeStep)
                           : "after " + std::to_string(afterBytes) + " bytes";
  }
};

// A stop before each of the clean run's steps, then three in the middle of its downloads.
std::vector<Stop> StopsOf(const ToolRun& clean) {
  std::vector<Stop> stops;
  for (long step = 1; step <= clean.steps; ++step) stops.push_back({step, 0});
  for (const unsigned long long quarter : {1, 2, 3}) {
    stops.push_back({0, clean.clientBytes * quarter / 4});
  }
  return stops;
}

// Every complete-looking folder in Versions really is complete, current.txt names one of them,
// and the installed launcher is one of the two whole images. Returns the problem, or empty.
std::string CheckUsable(const fs::path& root, std::string& currentVersion) {
  const fs::path current = CurrentVersionFolder(root);
  if (current.empty()) return "current.txt names no complete version";
  currentVersion = current.filename().string();
  for (const fs::directory_entry& entry : fs::directory_iterator(root / "Versions")) {
    if (!fs::exists(entry.path() / kMarkerFileName)) continue;
    Manifest manifest;
    if (!LoadInstalledManifest(entry.path(), manifest)) {
      return entry.path().string() + " is marked but has no good manifest";
    }
    for (const ManifestFile& file : manifest.files) {
      if (Sha256Hex(ReadBytes(entry.path() / file.path)) != file.sha256) {
        return entry.path().string() + " is marked but " + file.path + " is wrong";
      }
    }
  }
  const std::string launcher = ReadBytes(root / kLauncherFileName);
  if (launcher != kLauncherOne && launcher != kLauncherTwo) {
    return "the installed launcher holds \"" + launcher + "\"";
  }
  return {};
}

// Random, so the publisher does not pack it and it comes in ranges.
const std::string& BigPak() {
  static const std::string bytes = RandomBytes(600000, 2);
  return bytes;
}

// The fingerprints of the downloaded files of 2.0 that its staging folder holds whole.
std::vector<std::string> WholeStagedFiles(const fs::path& root) {
  const fs::path staging = root / "Versions" / "2.0.partial";
  const std::map<std::string, std::string> fetched = {{"kelvadon_player.exe", "player two"},
                                                      {"bin/new.dll", "only in two"},
                                                      {"data/big.pak", BigPak()}};
  std::vector<std::string> whole;
  for (const auto& [path, bytes] : fetched) {
    if (ReadBytes(staging / path) == bytes) whole.push_back(Sha256Hex(bytes));
  }
  return whole;
}

// The website folder of the rollback: 1.0 published again after 2.0.
constexpr char kRolledBack[] = "1.0-again";

class UpdateInterruptionTest : public WebsiteScenarioTest {
 protected:
  void SetUp() override {
    WebsiteScenarioTest::SetUp();
    if (HasFatalFailure() || IsSkipped()) return;

    // One website folder per published state; each later state keeps the earlier files. The
    // last publishes 1.0 again: a rollback is a publish with the next sequence, since launchers
    // refuse an old manifest served again.
    const fs::path one = scratch_ / "launchers" / "one" / kLauncherFileName;
    const fs::path two = scratch_ / "launchers" / "two" / kLauncherFileName;
    WriteFiles(scratch_ / "launchers", {{"one/KelvadonLauncher.exe", kLauncherOne},
                                        {"two/KelvadonLauncher.exe", kLauncherTwo}});
    own_ = one;
    const Files filesOfOne = {{"kelvadon_player.exe", "player one"},
                              {"kelvadon_studio.exe", "studio one"},
                              {"bin/shared.dll", "shared library"},
                              {"bin/old.dll", "only in one"}};
    const struct {
      const char* folder;
      const char* version;
      Files files;
      fs::path launcher;
    } states[] = {
        {"0.9",
         "0.9",
         {{"kelvadon_player.exe", "player zero nine"},
          {"kelvadon_studio.exe", "studio zero nine"},
          {"bin/a.dll", "a of 0.9"}},
         one},
        {"1.0", "1.0", filesOfOne, one},
        {"2.0",
         "2.0",
         {{"kelvadon_player.exe", "player two"},
          {"kelvadon_studio.exe", "studio one"},
          {"lib/shared.dll", "shared library"},
          {"bin/new.dll", "only in two"},
          // Fetched in ranges at once, so a stop in the middle leaves holes.
          {"data/big.pak", BigPak()}},
         two},
        {kRolledBack, "1.0", filesOfOne, one},
    };
    const fs::path publishing = site_.root / scenario_;
    fs::create_directories(scratch_ / "web");
    for (const auto& state : states) {
      ASSERT_NO_FATAL_FAILURE(Publish(state.version, state.files, state.launcher));
      fs::copy(publishing, Website(state.folder), fs::copy_options::recursive);
    }

    // The installation every case starts from: 1.0 current, 0.9 kept, and leftovers for the
    // clean-up to remove.
    template_ = scratch_ / "template";
    ASSERT_EQ(Tool(template_, Website("0.9")).exitCode, 0);
    ASSERT_EQ(Tool(template_, Website("1.0")).exitCode, 0);
    WriteFiles(template_ / "Versions", {{"loose.txt", "x"}, {"0.8.partial/x", "y"}});
  }

  fs::path Website(const std::string& version) { return scratch_ / "web" / version; }

  fs::path FreshRoot() {
    const fs::path root = scratch_ / ("root-" + std::to_string(++roots_));
    fs::copy(template_, root, fs::copy_options::recursive);
    return root;
  }

  std::vector<std::string> ToolArgs(const fs::path& root, const fs::path& website, Stop stop,
                                    long stepDelayMs, const fs::path& report) {
    // With pieces of 64 KiB big.pak comes in ranges, so stops land among its pieces too.
    return {PathToUtf8(LocalPath(KELVADON_INTERRUPT_TOOL)),
            "--root",
            PathToUtf8(root),
            "--website-folder",
            PathToUtf8(website),
            "--own",
            PathToUtf8(own_),
            "--report",
            PathToUtf8(report),
            "--kill-before",
            std::to_string(stop.beforeStep),
            "--kill-after-bytes",
            std::to_string(stop.afterBytes),
            "--step-delay-ms",
            std::to_string(stepDelayMs),
            "--piece-bytes",
            "65536"};
  }

  static ToolRun Finish(ToolProcess& process, const fs::path& report) {
    ToolRun run;
    const ToolExit exit = process.Finish();
    run.killed = exit.stopped;
    run.exitCode = exit.exitCode;
    run.report = ReadBytes(report);
    std::sscanf(run.report.c_str(), "steps %ld", &run.steps);
    const size_t bytes = run.report.find("client-bytes ");
    if (bytes != std::string::npos) {
      std::sscanf(run.report.c_str() + bytes, "client-bytes %llu", &run.clientBytes);
    }
    return run;
  }

  ToolRun Tool(const fs::path& root, const fs::path& website, Stop stop = {}) {
    const fs::path report = scratch_ / "report.txt";
    std::error_code ec;
    fs::remove(report, ec);
    ToolProcess process;
    if (!process.Start(ToolArgs(root, website, stop, 0, report))) return {};
    return Finish(process, report);
  }

  fs::path template_;
  fs::path own_;
  int roots_ = 0;
};

TEST_F(UpdateInterruptionTest, EveryInterruptionLeavesAUsableInstallation) {
  const ToolRun clean = Tool(FreshRoot(), Website("2.0"));
  ASSERT_EQ(clean.exitCode, 0) << clean.report;
  // Downloads, writes, marker, switch, current.txt, clean-up and self-update: more than 20 steps.
  ASSERT_GE(clean.steps, 20) << clean.report;
  std::cout << "the update takes " << clean.steps << " steps on the disk\n";

  const std::vector<Stop> stops = StopsOf(clean);
  // The downloads run at once on threads of their own, and some stops land among them.
  long firstThreadStep = 0;
  long lastThreadStep = 0;
  const size_t threadSteps = clean.report.find("download-thread-steps ");
  ASSERT_NE(threadSteps, std::string::npos) << clean.report;
  std::sscanf(clean.report.c_str() + threadSteps, "download-thread-steps %ld %ld", &firstThreadStep,
              &lastThreadStep);
  EXPECT_GE(std::count_if(stops.begin(), stops.end(),
                          [&](const Stop& stop) {
                            return stop.beforeStep >= firstThreadStep &&
                                   stop.beforeStep <= lastThreadStep;
                          }),
            3)
      << clean.report;

  for (size_t i = 0; i < stops.size(); ++i) {
    // Two of them see the website roll back to 1.0 before the next start.
    const bool rollback = i == stops.size() / 3 || i + 1 == stops.size();
    SCOPED_TRACE("killed " + stops[i].Name() + " of " + std::to_string(clean.steps) + " steps, " +
                 std::to_string(clean.clientBytes) + " bytes" +
                 (rollback ? ", then rolled back" : ""));
    const fs::path root = FreshRoot();
    const ToolRun killed = Tool(root, Website("2.0"), stops[i]);
    ASSERT_TRUE(killed.killed) << killed.report;
    std::string version;
    EXPECT_EQ(CheckUsable(root, version), "");
    const std::vector<std::string> whole = WholeStagedFiles(root);

    const std::string wanted = rollback ? "1.0" : "2.0";
    const ToolRun again = Tool(root, Website(rollback ? kRolledBack : "2.0"));
    EXPECT_EQ(again.exitCode, 0) << again.report;
    EXPECT_EQ(CheckUsable(root, version), "");
    EXPECT_EQ(version, wanted);
    EXPECT_EQ(ReadBytes(root / kLauncherFileName), rollback ? kLauncherOne : kLauncherTwo);
    // What the stopped run left whole is picked up, not fetched again.
    for (const std::string& sha256 : rollback ? std::vector<std::string>() : whole) {
      EXPECT_EQ(again.report.find("/client/files/" + sha256), std::string::npos)
          << "a whole staged file was fetched again";
    }

    // With the website gone the update fails, and the launch Job starts what is installed.
    const ToolRun offline = Tool(root, scratch_ / "no-website");
    EXPECT_EQ(offline.exitCode, 1) << offline.report;
    EXPECT_EQ(CheckUsable(root, version), "");
    EXPECT_EQ(version, wanted);
    fs::remove_all(root);
  }
}

// A pack rebuilt from chunks, stopped before each of its steps on the disk and in the middle of
// its fetches. The kept version stays whole and the next start finishes the update.
TEST_F(UpdateInterruptionTest, InterruptedChunkedRebuild) {
  std::vector<std::string> chunks;
  for (uint32_t i = 0; i < 16; ++i) chunks.push_back(RandomBytes(2000 + 37 * i, 18 + i));
  const fs::path files = site_.root / scenario_ / "client" / "files";
  const auto publish = [&](const std::string& version, const std::vector<std::string>& parts) {
    ChunkList list;
    std::string pack;
    for (const std::string& part : parts) {
      list.chunks.push_back({pack.size(), static_cast<uint32_t>(part.size()), Sha256Hex(part)});
      pack += part;
    }
    list.fileSize = pack.size();
    const std::string listBytes = SerializeChunkList(list);
    WriteFiles(files, {{Sha256Hex(pack), pack},
                       {Sha256Hex(listBytes), listBytes},
                       {Sha256Hex(kLauncherOne), kLauncherOne}});
    const std::string json =
        "{\"version\": \"" + version + "\", \"sequence\": " + std::to_string(100 + version[0]) +
        ", \"files\": [{\"path\": \"kelvadon_player.exe\", \"sha256\": \"" +
        Sha256Hex("player one") +
        "\", \"size\": 10}, {\"path\": \"data/pack.dat\", \"sha256\": \"" + Sha256Hex(pack) +
        "\", \"size\": " + std::to_string(pack.size()) + ", \"chunks\": \"" + Sha256Hex(listBytes) +
        "\"}], \"launcher\": {\"path\": \"KelvadonLauncher.exe\", " + "\"sha256\": \"" +
        Sha256Hex(kLauncherOne) + "\", \"size\": " + std::to_string(kLauncherOne.size()) + "}}";
    std::string error;
    ASSERT_TRUE(SignTestManifest(site_, scenario_, json, error)) << error;
    fs::copy(site_.root / scenario_, Website("chunked-" + version), fs::copy_options::recursive);
  };
  publish("1.0", chunks);
  std::vector<std::string> changed = chunks;
  changed[5][100] ^= 1;
  changed[12] += "longer";
  publish("2.0", changed);

  const fs::path start = scratch_ / "chunked-template";
  ASSERT_EQ(Tool(start, Website("chunked-1.0")).exitCode, 0);
  const auto freshRoot = [&] {
    const fs::path root = scratch_ / ("root-" + std::to_string(++roots_));
    fs::copy(start, root, fs::copy_options::recursive);
    return root;
  };
  const ToolRun clean = Tool(freshRoot(), Website("chunked-2.0"));
  ASSERT_EQ(clean.exitCode, 0) << clean.report;
  // The two changed chunks and the chunk list: the pack was rebuilt, not downloaded whole.
  size_t packBytes = 0;
  for (const std::string& part : changed) packBytes += part.size();
  ASSERT_LT(clean.clientBytes, packBytes / 4) << clean.report;

  for (const Stop& stop : StopsOf(clean)) {
    SCOPED_TRACE("killed " + stop.Name() + " of " + std::to_string(clean.steps) + " steps, " +
                 std::to_string(clean.clientBytes) + " bytes");
    const fs::path root = freshRoot();
    const ToolRun killed = Tool(root, Website("chunked-2.0"), stop);
    ASSERT_TRUE(killed.killed) << killed.report;
    std::string version;
    EXPECT_EQ(CheckUsable(root, version), "");
    const ToolRun again = Tool(root, Website("chunked-2.0"));
    EXPECT_EQ(again.exitCode, 0) << again.report;
    EXPECT_EQ(CheckUsable(root, version), "");
    EXPECT_EQ(version, "2.0");
    fs::remove_all(root);
  }
}

TEST_F(UpdateInterruptionTest, TwoLaunchersStartedTogether) {
  for (int round = 0; round < 3; ++round) {
    SCOPED_TRACE(round);
    const fs::path root = FreshRoot();
    const fs::path reports[] = {scratch_ / "report-a.txt", scratch_ / "report-b.txt"};
    // A pause at every step makes the two runs overlap.
    ToolProcess first;
    ToolProcess second;
    ASSERT_TRUE(first.Start(ToolArgs(root, Website("2.0"), {}, 2, reports[0])));
    ASSERT_TRUE(second.Start(ToolArgs(root, Website("2.0"), {}, 2, reports[1])));
    const ToolRun a = Finish(first, reports[0]);
    const ToolRun b = Finish(second, reports[1]);
    EXPECT_EQ(a.exitCode, 0) << a.report;
    EXPECT_EQ(b.exitCode, 0) << b.report;
    std::string version;
    EXPECT_EQ(CheckUsable(root, version), "");
    EXPECT_EQ(version, "2.0");
    EXPECT_EQ(ReadBytes(root / kLauncherFileName), kLauncherTwo);
  }
}

}  // namespace
