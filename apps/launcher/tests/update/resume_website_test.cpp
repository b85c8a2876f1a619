// Installs cut short and picked up again, against the test website, the same cases in both builds:
// an install stopped part way through many files and one stopped at about 60% of a 256 MiB file
// (update_interrupt_tool stops itself in the middle of a download), and staging folders left with
// whole, altered and shortened files. nginx's access log shows what the next run asked for and
// how many bytes it got: only what was not already on disk, the rest of a file as a range.
#include <gtest/gtest.h>

#include <cstdint>
#include <iostream>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "common/text.h"
#include "files/file_io.h"
#include "tests/update/test_website.h"
#include "tests/update/tool_process.h"
#include "tests/update/website_scenario.h"
#include "update/engine.h"
#include "update/store/install_root.h"
#include "update/transfer/plan.h"
#include "update/trust/crypto.h"
#include "website_harness.h"

namespace fs = std::filesystem;

namespace {

class ResumeWebsiteTest : public WebsiteScenarioTest {
 protected:
  void SetUp() override {
    WebsiteScenarioTest::SetUp();
    if (HasFatalFailure() || IsSkipped()) return;
    staging_ = versions_ / "1.0.partial";
    WriteFiles(scratch_, {{"own/KelvadonLauncher.exe", "MZ own"}});
  }

  void Publish(const Files& files) {
    WebsiteScenarioTest::Publish("1.0", files);
    NewRequests();
  }

  // Runs the install in update_interrupt_tool, which stops itself once killAfterBytes bytes of
  // client files have arrived.
  void InstallStoppedAfter(uint64_t killAfterBytes) {
    ToolProcess tool;
    ASSERT_TRUE(tool.Start({PathToUtf8(LocalPath(KELVADON_INTERRUPT_TOOL)), "--root",
                            PathToUtf8(root_), "--website", website_, "--own",
                            PathToUtf8(scratch_ / "own" / "KelvadonLauncher.exe"), "--report",
                            PathToUtf8(scratch_ / "report.txt"), "--kill-after-bytes",
                            std::to_string(killAfterBytes)}));
    const ToolExit exit = tool.Finish();
    ASSERT_TRUE(exit.stopped) << ReadBytes(scratch_ / "report.txt");
  }

  // The file requests of requests by fingerprint, in order.
  static std::multimap<std::string, LoggedRequest> FileRequests(
      const std::vector<LoggedRequest>& requests) {
    std::multimap<std::string, LoggedRequest> files;
    const std::string prefix = "/client/files/";
    for (const LoggedRequest& request : requests) {
      if (request.path.rfind(prefix, 0) == 0) {
        files.emplace(request.path.substr(prefix.size()), request);
      }
    }
    return files;
  }

  void ExpectInstalled(const Files& files) {
    ExpectVersion("1.0", files);
    ExpectCurrent("1.0");
  }

  fs::path staging_;
};

// What was on disk in the staging folder decides, file by file, what the next run asks for:
// nothing for a whole file, the rest as a range for a file cut short, the whole file otherwise.
// The progress then counts only what is fetched and ends at exactly 100%.
void ExpectOnlyTheRestFetched(const fs::path& staging, const Files& files,
                              const std::multimap<std::string, LoggedRequest>& fetched) {
  uint64_t kept = 0;
  for (const auto& [path, bytes] : files) {
    SCOPED_TRACE(path);
    const std::string onDisk = ReadBytes(staging / path);
    const bool whole = onDisk == bytes;
    const auto [first, last] = fetched.equal_range(Sha256Hex(bytes));
    const auto count = std::distance(first, last);
    if (whole) {
      EXPECT_EQ(count, 0) << "a whole staged file was fetched again";
      kept += bytes.size();
      continue;
    }
    ASSERT_EQ(count, 1);
    if (!onDisk.empty()) {
      ASSERT_EQ(bytes.compare(0, onDisk.size(), onDisk), 0) << "the staged start is wrong";
      EXPECT_EQ(first->second.status, 206);
      EXPECT_EQ(first->second.bytes, bytes.size() - onDisk.size());
      kept += onDisk.size();
    } else {
      EXPECT_EQ(first->second.status, 200);
      EXPECT_EQ(first->second.bytes, bytes.size());
    }
  }
  std::cout << "kept from the interrupted run: " << kept << " bytes\n";
}

TEST_F(ResumeWebsiteTest, AnInstallStoppedPartWayThroughManyFilesFetchesOnlyTheRest) {
  Files files = {{"kelvadon_player.exe", "player"}, {"kelvadon_studio.exe", "studio"}};
  uint64_t size = 0;
  for (unsigned i = 0; i < 40; ++i) {
    files["data/part" + std::to_string(i) + ".pak"] = RandomBytes(70000 + i * 997, i);
    size += 70000 + i * 997;
  }
  Publish(files);
  InstallStoppedAfter(size / 2);
  ASSERT_TRUE(fs::is_directory(staging_));
  NewRequests();
  // Copied before the run, which rewrites the staging folder.
  const fs::path left = scratch_ / "left";
  fs::copy(staging_, left, fs::copy_options::recursive);

  const UpdateResult result = Run();
  ASSERT_TRUE(result.ready) << result.error;
  const std::vector<LoggedRequest> requests = NewRequests();
  ASSERT_GE(requests.size(), 2u);
  EXPECT_EQ(requests[0].path, "/client/manifest.json");
  EXPECT_EQ(requests[1].path, "/client/manifest.sig");
  ExpectOnlyTheRestFetched(left, files, FileRequests(requests));
  ExpectInstalled(files);
  ASSERT_FALSE(reports_.empty());
  EXPECT_EQ(reports_.back().text, "Installing Kelvadon... 100%");
  EXPECT_EQ(reports_.back().fraction, 1.0);
}

TEST_F(ResumeWebsiteTest, AnInstallStoppedAtSixtyPercentOfALargeFileFetchesOnlyTheRest) {
  constexpr uint64_t kSize = uint64_t{256} * 1024 * 1024;
  const Files files = {{"kelvadon_player.exe", "player"},
                       {"kelvadon_studio.exe", "studio"},
                       {"data/huge.pak", RandomBytes(kSize, 7)}};
  Publish(files);
  InstallStoppedAfter(kSize * 6 / 10);
  const std::vector<LoggedRequest> first = NewRequests();
  const std::string huge = Sha256Hex(files.at("data/huge.pak"));
  const uint64_t onDisk = fs::file_size(staging_ / "data" / "huge.pak");
  EXPECT_GT(onDisk, kSize / 2);
  EXPECT_LT(onDisk, kSize);

  const UpdateResult result = Run();
  ASSERT_TRUE(result.ready) << result.error;
  const std::multimap<std::string, LoggedRequest> fetched = FileRequests(NewRequests());
  // The file came in ranges written at once, so the pieces that were running may have left
  // holes: every chunk kept that still matches its fingerprint stays, so at most the length kept
  // less those pieces is asked for again, in ranges.
  const uint64_t from = onDisk - RangedSlackBytes(kSize, DownloadSettings());
  ASSERT_GE(fetched.count(huge), 1u);
  uint64_t asked = 0;
  for (auto [it, end] = fetched.equal_range(huge); it != end; ++it) {
    EXPECT_EQ(it->second.status, 206);
    asked += it->second.bytes;
  }
  EXPECT_LE(asked, kSize - from);
  // What the website sent twice: the bytes the stopped run received (or that were on their way)
  // but never wrote, and the pieces given back.
  uint64_t sentBefore = 0;
  for (const auto& [sha256, request] : FileRequests(first)) {
    if (sha256 == huge) sentBefore += request.bytes;
  }
  std::cout << "256 MiB file: " << onDisk << " bytes kept, " << asked << " fetched after, "
            << (sentBefore + asked - kSize) << " sent twice\n";
  ExpectInstalled(files);
  EXPECT_EQ(reports_.back().fraction, 1.0);
}

// Staging files as a power cut, another program or an earlier run may leave them.
TEST_F(ResumeWebsiteTest, StagedFilesAreKeptContinuedOrFetchedAgain) {
  const Files files = {
      {"whole.dll", RandomBytes(300000, 1)},  {"altered.dll", RandomBytes(300000, 2)},
      {"short.dll", RandomBytes(300000, 3)},  {"short-wrong.dll", RandomBytes(300000, 4)},
      {"longer.dll", RandomBytes(300000, 5)}, {"missing.dll", RandomBytes(300000, 6)},
      {"kelvadon_player.exe", "player"},      {"kelvadon_studio.exe", "studio"}};
  Publish(files);
  std::string altered = files.at("altered.dll");
  altered[123456] ^= 1;
  std::string shortWrong = files.at("short-wrong.dll").substr(0, 200000);
  shortWrong[99] ^= 1;
  WriteFiles(staging_, {{"whole.dll", files.at("whole.dll")},
                        {"altered.dll", altered},
                        {"short.dll", files.at("short.dll").substr(0, 123457)},
                        {"short-wrong.dll", shortWrong},
                        {"longer.dll", files.at("longer.dll") + "more"}});
  // Another version's staging folder goes as before.
  WriteFiles(root_ / kVersionsFolderName, {{"0.9.partial/whole.dll", files.at("whole.dll")}});

  const UpdateResult result = Run();
  ASSERT_TRUE(result.ready) << result.error;
  const std::multimap<std::string, LoggedRequest> fetched = FileRequests(NewRequests());
  const struct {
    const char* path;
    std::vector<std::pair<int, uint64_t>> requests;  // status and bytes, in order
  } cases[] = {
      {"whole.dll", {}},
      {"altered.dll", {{200, 300000}}},
      {"short.dll", {{206, 300000 - 123457}}},
      {"short-wrong.dll", {{206, 100000}, {200, 300000}}},
      {"longer.dll", {{200, 300000}}},
      {"missing.dll", {{200, 300000}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    std::vector<std::pair<int, uint64_t>> seen;
    const auto [first, last] = fetched.equal_range(Sha256Hex(files.at(c.path)));
    for (auto it = first; it != last; ++it) seen.emplace_back(it->second.status, it->second.bytes);
    EXPECT_EQ(seen, c.requests);
  }
  ExpectInstalled(files);
  EXPECT_EQ(Entries(versions_), (std::set<std::string>{"1.0"}));
}

// A website that answers a range with the whole file, or with a wrong part: the file is fetched
// whole once, and comes out right.
TEST_F(ResumeWebsiteTest, AWebsiteThatIgnoresRangesOrAnswersThemWrongGivesTheWholeFile) {
  const Files files = {{"short.dll", RandomBytes(300000, 3)},
                       {"kelvadon_player.exe", "player"},
                       {"kelvadon_studio.exe", "studio"}};
  Publish(files);
  for (const char* fault : {"no-ranges", "range-wrong-byte"}) {
    SCOPED_TRACE(fault);
    RemovePathTree(root_);
    WriteFiles(staging_, {{"short.dll", files.at("short.dll").substr(0, 100000)}});
    const UpdateResult result = Run(Fault(fault));
    ASSERT_TRUE(result.ready) << result.error;
    ExpectInstalled(files);
  }
}

}  // namespace
