// Plans carried out at once, against the test website (nginx and the fault server of
// website_harness.py) through the real HttpFetch, the same cases in both builds; and the orders
// of failure that timing decides, forced through a fetcher that holds a file back.
#include "update/transfer/executor.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "common/text.h"
#include "tests/update/test_website.h"
#include "tests/update/website_scenario.h"
#include "update/trust/crypto.h"
#include "website_harness.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <unistd.h>
#endif

namespace fs = std::filesystem;

namespace {

// The system's number for the calling thread.
uint64_t ThisThread() {
#ifdef _WIN32
  return GetCurrentThreadId();
#else
  return static_cast<uint64_t>(gettid());
#endif
}

// Whether the thread has ended. A joined thread may take the system a moment more to reap.
bool ThreadEnded(uint64_t id) {
  for (int attempt = 0; attempt < 100; ++attempt) {
#ifdef _WIN32
    const HANDLE thread = OpenThread(SYNCHRONIZE, FALSE, static_cast<DWORD>(id));
    if (thread == nullptr) return true;
    const bool ended = WaitForSingleObject(thread, 0) == WAIT_OBJECT_0;
    CloseHandle(thread);
#else
    const std::string stat = ReadBytes("/proc/self/task/" + std::to_string(id) + "/stat");
    const size_t state = stat.rfind(") ");
    const bool ended =
        state == std::string::npos || stat[state + 2] == 'Z' || stat[state + 2] == 'X';
#endif
    if (ended) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
}

// Small enough that files of a few hundred KiB are fetched in ranges.
DownloadSettings SmallRanges() {
  DownloadSettings settings;
  settings.rangedFileBytes = 256 << 10;
  settings.pieceBytes = 64 << 10;
  settings.piecesAtOnce = 4;
  return settings;
}

// What a fetcher saw: requests, and how many ran at once.
struct Watch {
  std::mutex lock;
  std::vector<HttpRequest> requests;
  int active = 0;
  int mostAtOnce = 0;
  std::map<std::string, int> activeByUrl;
  int mostAtOnceForOneUrl = 0;
};

HttpFetcher Watched(const HttpFetcher& inner, Watch& watch) {
  return [inner, &watch](HttpSession& session, const HttpRequest& request, const BodySink& sink,
                         std::string& error, bool& responded) {
    {
      const std::lock_guard<std::mutex> hold(watch.lock);
      watch.requests.push_back(request);
      watch.mostAtOnce = std::max(watch.mostAtOnce, ++watch.active);
      watch.mostAtOnceForOneUrl =
          std::max(watch.mostAtOnceForOneUrl, ++watch.activeByUrl[request.url]);
    }
    const FetchStatus fetched = inner(session, request, sink, error, responded);
    const std::lock_guard<std::mutex> hold(watch.lock);
    --watch.active;
    --watch.activeByUrl[request.url];
    return fetched;
  };
}

struct Outcome {
  TransferResult result;
  std::vector<uint64_t> progress;
  std::set<uint64_t> threads;  // that fetched, but the calling one
  std::set<uint64_t> running;  // of those, the ones that had not ended on return
};

// onProgress, when given, sees each report too.
Outcome Download(const HttpFetcher& fetch, const std::vector<FilePlan>& jobs,
                 const DownloadSettings& settings,
                 const std::function<void(uint64_t)>& onProgress = {}) {
  Outcome outcome;
  const uint64_t caller = ThisThread();
  std::mutex lock;
  const HttpFetcher recorded = [&](HttpSession& session, const HttpRequest& request,
                                   const BodySink& sink, std::string& error, bool& responded) {
    if (ThisThread() != caller) {
      const std::lock_guard<std::mutex> hold(lock);
      outcome.threads.insert(ThisThread());
    }
    return fetch(session, request, sink, error, responded);
  };
  const HttpSessionOwner session = OpenHttpSession();
  outcome.result = RunPlans(
      recorded, *session, jobs,
      [&](uint64_t counted) {
        outcome.progress.push_back(counted);
        if (onProgress) onProgress(counted);
      },
      [] {}, settings);
  for (const uint64_t thread : outcome.threads) {
    if (!ThreadEnded(thread)) outcome.running.insert(thread);
  }
  return outcome;
}

class ExecutorTest : public WebsiteScenarioTest {
 protected:
  bool Publishes() const override { return false; }

  // Puts the files on the website and the folder fetcher's folder, and plans each to be fetched
  // whole from base (a website address that serves the scenario folder) into out/N, continuing
  // from resumeFrom[N] when given.
  std::vector<FilePlan> Jobs(const std::string& base, const std::vector<std::string>& files,
                             const std::vector<uint64_t>& resumeFrom = {}) {
    std::map<std::string, std::string> named;
    for (const std::string& bytes : files) named["client/files/" + Sha256Hex(bytes)] = bytes;
    WriteFiles(site_.root / scenario_, named);
    WriteFiles(scratch_ / "web", named);
    std::vector<FilePlan> jobs;
    for (size_t i = 0; i < files.size(); ++i) {
      const ManifestFile file{
          .path = std::to_string(i), .sha256 = Sha256Hex(files[i]), .size = files[i].size()};
      const uint64_t from = i < resumeFrom.size() ? resumeFrom[i] : 0;
      const StagedFile staged{.length = from, .resumeFrom = from};
      const HttpSessionOwner session = OpenHttpSession();
      const Sha256ProviderOwner hashing = OpenSha256Provider();
      jobs.push_back(PlanFile(HttpFetch, *session, *hashing,
                              {.website = base,
                               .file = file,
                               .destination = scratch_ / "out" / std::to_string(i),
                               .staged = staged,
                               .partners = {},
                               .chunked = {},
                               .kept = {},
                               .settings = SmallRanges()}));
    }
    return jobs;
  }

  // What every download must leave, whatever failed: every job before the failed one whole, no
  // file of the full size that is not right, the bytes counted never going back nor past what
  // was asked for, and no worker left.
  static void ExpectCleanStop(const Outcome& outcome, const std::vector<FilePlan>& jobs,
                              const std::vector<std::string>& files) {
    const TransferResult& result = outcome.result;
    uint64_t planned = 0;
    for (size_t i = 0; i < jobs.size(); ++i) {
      planned += jobs[i].fetchBytes;
      if (fs::is_directory(jobs[i].destination)) continue;
      const std::string there = ReadBytes(jobs[i].destination);
      if (i < result.failed) {
        EXPECT_EQ(there, files[i]) << "job " << i << " before the failure is not whole";
      } else if (there.size() >= files[i].size()) {
        EXPECT_EQ(there, files[i]) << "job " << i << " has its full size but the wrong bytes";
      }
    }
    EXPECT_LE(result.counted, planned);
    EXPECT_TRUE(std::is_sorted(outcome.progress.begin(), outcome.progress.end()));
    ASSERT_FALSE(outcome.progress.empty());
    EXPECT_EQ(outcome.progress.back(), result.counted);
    EXPECT_TRUE(outcome.running.empty()) << "a worker outlived the downloads";
  }
};

// Twelve files, two of them fetched in ranges; in each case two fail, and the first in order is
// the one named, whichever failed first.
TEST_F(ExecutorTest, TheFirstFailureInOrderIsNamed) {
  std::vector<std::string> files;
  for (uint32_t i = 0; i < 12; ++i) {
    files.push_back(RandomBytes(i == 4 || i == 9 ? 300 << 10 : 20000 + 100 * i, i));
  }
  struct Case {
    const char* name;
    std::string base;
    std::vector<size_t> missing;     // served nowhere
    std::vector<size_t> mismatched;  // expected with another fingerprint
    std::vector<size_t> blocked;     // a folder stands at the destination
    size_t failed;
    FileOutcome outcome;
  };
  const Case cases[] = {
      {"404", website_, {8, 3}, {}, {}, 3, FileOutcome::NotFetched},
      // Only the ranged files' pieces are longer than the bytes the fault lets through.
      {"dropped connection", Fault("drop/30000"), {}, {}, {}, 4, FileOutcome::NotFetched},
      {"wrong bytes", website_, {}, {7, 2}, {}, 2, FileOutcome::Wrong},
      {"a wrong byte in every file", Fault("wrong-byte"), {}, {}, {}, 0, FileOutcome::Wrong},
      {"a ranged file with wrong bytes", website_, {}, {9}, {}, 9, FileOutcome::Wrong},
      {"cannot write", website_, {}, {}, {10, 5}, 5, FileOutcome::NotWritten},
      {"a failure of each kind", website_, {11}, {6}, {7}, 6, FileOutcome::Wrong},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove_all(scratch_ / "out");
    std::vector<FilePlan> jobs = Jobs(c.base, files);
    for (const size_t i : c.missing) jobs[i].url = c.base + "/client/files/" + Sha256Hex("nowhere");
    for (const size_t i : c.mismatched) jobs[i].sha256 = Sha256Hex("something else");
    for (const size_t i : c.blocked) fs::create_directories(jobs[i].destination / "x");
    const Outcome outcome = Download(HttpFetch, jobs, SmallRanges());
    EXPECT_EQ(outcome.result.failed, c.failed);
    EXPECT_EQ(outcome.result.outcome, c.outcome);
    if (c.outcome == FileOutcome::Wrong) {
      EXPECT_FALSE(fs::exists(jobs[c.failed].destination)) << "a wrong file was left";
    }
    if (c.outcome == FileOutcome::NotFetched) {
      EXPECT_FALSE(outcome.result.fetchError.empty());
    }
    for (const size_t i : c.blocked) EXPECT_TRUE(fs::is_directory(jobs[i].destination / "x"));
    ExpectCleanStop(outcome, jobs, files);
  }
}

// A large file comes in ranges, at most four at once; a website that answers a range whole or
// with other bytes gets one plain download of the file, and the file comes out right.
TEST_F(ExecutorTest, RangesAnsweredBadlyGetOnePlainDownload) {
  const std::vector<std::string> files = {RandomBytes(600 << 10, 1), RandomBytes(5000, 2),
                                          RandomBytes((300 << 10) + 17, 3)};
  struct Case {
    const char* name;
    std::string base;
    bool plainDownloads;  // whether each ranged file is then fetched whole
  };
  const Case cases[] = {
      {"a website that answers ranges", website_, false},
      {"ranges answered with 200", Fault("no-ranges"), true},
      {"ranges answered with a wrong byte", Fault("range-wrong-byte"), true},
      {"ranges answered one byte further on", Fault("range-shifted"), true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove_all(scratch_ / "out");
    const std::vector<FilePlan> jobs = Jobs(c.base, files);
    Watch watch;
    const Outcome outcome = Download(Watched(HttpFetch, watch), jobs, SmallRanges());
    ASSERT_EQ(outcome.result.failed, jobs.size()) << outcome.result.fetchError;
    for (size_t i = 0; i < files.size(); ++i) {
      EXPECT_EQ(ReadBytes(jobs[i].destination), files[i]) << i;
    }
    ExpectCleanStop(outcome, jobs, files);
    EXPECT_EQ(outcome.result.counted, files[0].size() + files[1].size() + files[2].size());
    // Whole requests: the small file's, and one more per ranged file when ranges failed.
    size_t whole = 0;
    size_t ranged = 0;
    for (const HttpRequest& request : watch.requests) {
      (request.rangeLength == 0 ? whole : ranged) += 1;
    }
    EXPECT_EQ(whole, c.plainDownloads ? 3u : 1u);
    if (!c.plainDownloads) {
      EXPECT_EQ(ranged, 10u + 5u);
    }
    EXPECT_LE(watch.mostAtOnceForOneUrl, 4);
  }
}

// A ranged file cut short by an earlier run continues from where it was kept: only the rest is
// asked for. Kept bytes that are wrong are found by the whole file's check and fetched again.
TEST_F(ExecutorTest, ARangedFileContinuesFromTheKeptBytes) {
  const std::vector<std::string> files = {RandomBytes(700 << 10, 4)};
  const uint64_t kept = 200 << 10;
  for (const bool keptRight : {true, false}) {
    SCOPED_TRACE(keptRight ? "kept bytes right" : "kept bytes wrong");
    fs::remove_all(scratch_ / "out");
    std::string start = files[0].substr(0, kept);
    if (!keptRight) start[1000] ^= 1;
    WriteFiles(scratch_ / "out", {{"0", start}});
    const std::vector<FilePlan> jobs = Jobs(website_, files, {kept});
    Watch watch;
    const Outcome outcome = Download(Watched(HttpFetch, watch), jobs, SmallRanges());
    ASSERT_EQ(outcome.result.failed, 1u) << outcome.result.fetchError;
    EXPECT_EQ(ReadBytes(jobs[0].destination), files[0]);
    uint64_t asked = 0;
    for (const HttpRequest& request : watch.requests) {
      if (request.rangeLength == 0) continue;
      EXPECT_GE(request.rangeStart, kept);
      asked += request.rangeLength;
    }
    EXPECT_EQ(asked, files[0].size() - kept);
    EXPECT_EQ(watch.requests.size(), keptRight ? 8u : 9u);
    EXPECT_EQ(outcome.result.counted, files[0].size() - kept);
  }
}

// Holds files back until a condition holds, then fails or serves them: the order of events a
// test needs, made certain rather than left to timing.
class HeldBack {
 public:
  std::map<std::string, std::string> failure;  // by fingerprint: the error
  // By fingerprint: answered once this holds. Checked under the lock, so it reads only through
  // Begun (and what Notify changes).
  std::map<std::string, std::function<bool()>> until;
  std::chrono::milliseconds perPiece{0};                   // before every piece of every file
  std::map<std::string, std::chrono::milliseconds> delay;  // by fingerprint, before the answer

  // inner, held back; this object must outlive the downloads.
  HttpFetcher Over(const HttpFetcher& inner) {
    return [this, inner](HttpSession& session, const HttpRequest& request, const BodySink& sink,
                         std::string& error, bool& responded) {
      const std::string sha256 = request.url.substr(request.url.rfind('/') + 1);
      if (const auto delay = this->delay.find(sha256); delay != this->delay.end()) {
        std::this_thread::sleep_for(delay->second);
      }
      {
        std::unique_lock<std::mutex> hold(state_.lock);
        state_.begun.insert(sha256);
        state_.changed.notify_all();
        if (const auto condition = until.find(sha256); condition != until.end()) {
          // Bounded, so a fault that never lets the condition hold fails the case, not the run.
          state_.changed.wait_for(hold, std::chrono::seconds(60), condition->second);
        }
      }
      if (const auto failed = failure.find(sha256); failed != failure.end()) {
        responded = true;
        error = failed->second;
        return FetchStatus::Failed;
      }
      return inner(
          session, request,
          [&](const char* data, size_t size) {
            if (perPiece.count() > 0) std::this_thread::sleep_for(perPiece);
            return sink(data, size);
          },
          error, responded);
    };
  }

  // Under the lock: how many fetches of the file (whole or in pieces) have begun.
  size_t Begun(const std::string& sha256) const { return state_.begun.count(sha256); }
  // Changes what a condition reads, and wakes the held fetches to look again.
  void Notify(const std::function<void()>& change) {
    const std::lock_guard<std::mutex> hold(state_.lock);
    change();
    state_.changed.notify_all();
  }

 private:
  struct State {
    std::mutex lock;
    std::condition_variable changed;
    std::multiset<std::string> begun;
  };

  State state_;
};

// The order of failures forced: the first in manifest order fails last in time, yet is named;
// every job between the two runs to its end.
TEST_F(ExecutorTest, AFailureFirstInTimeButLaterInOrderDoesNotDecide) {
  std::vector<std::string> files;
  for (uint32_t i = 0; i < 12; ++i) files.push_back(RandomBytes(i == 3 ? 300 << 10 : 3000, 10 + i));
  const std::vector<FilePlan> jobs = Jobs(kTestWebsite, files);
  HeldBack held;
  held.failure[jobs[1].sha256] = "late";
  held.failure[jobs[6].sha256] = "early";
  // A time, not a condition: that jobs 2 to 6 have ended is the downloader's own record, which
  // cannot be waited for from out here (their fetches returning is not enough).
  held.delay[jobs[1].sha256] = std::chrono::milliseconds(1000);
  const Outcome outcome = Download(held.Over(FolderFetcher(scratch_ / "web")), jobs, SmallRanges());
  EXPECT_EQ(outcome.result.failed, 1u);
  EXPECT_EQ(outcome.result.outcome, FileOutcome::NotFetched);
  EXPECT_EQ(outcome.result.fetchError, "late");
  for (size_t i = 2; i < 6; ++i) EXPECT_EQ(ReadBytes(jobs[i].destination), files[i]) << i;
  ExpectCleanStop(outcome, jobs, files);
}

// The first job fails at once while slow downloads run: they stop at their next piece, the
// jobs no worker had started are never asked for, and what was cut short stays short.
TEST_F(ExecutorTest, AFailureStopsTheOtherDownloads) {
  std::vector<std::string> files;
  for (uint32_t i = 0; i < 16; ++i)
    files.push_back(RandomBytes(i == 2 ? 400 << 10 : 60000, 30 + i));
  const std::vector<FilePlan> jobs = Jobs(kTestWebsite, files);
  HeldBack held;
  held.failure[jobs[0].sha256] = "gone";
  // Slow on purpose: the stop the failure sets is the downloader's own and cannot be waited for
  // from out here, so the others must still be between pieces when it lands.
  held.perPiece = std::chrono::milliseconds(200);
  FetchLog log;
  const Outcome outcome =
      Download(held.Over(FolderFetcher(scratch_ / "web", &log)), jobs, SmallRanges());
  EXPECT_EQ(outcome.result.failed, 0u);
  EXPECT_EQ(outcome.result.fetchError, "gone");
  for (size_t i = 1; i < jobs.size(); ++i) {
    EXPECT_LT(ReadBytes(jobs[i].destination).size(), files[i].size()) << i;
  }
  for (size_t i = 9; i < jobs.size(); ++i) {
    EXPECT_EQ(std::count(log.urls.begin(), log.urls.end(), jobs[i].url), 0) << i;
  }
  ExpectCleanStop(outcome, jobs, files);
}

// The progress sums the bytes of every running download, ranges included, and ends at the sum
// of what was asked for.
TEST_F(ExecutorTest, TheProgressSumsTheRunningDownloads) {
  std::vector<std::string> files;
  for (uint32_t i = 0; i < 6; ++i) files.push_back(RandomBytes(i == 0 ? 512 << 10 : 40000, 50 + i));
  const std::vector<FilePlan> jobs = Jobs(kTestWebsite, files);
  uint64_t total = 0;
  for (const std::string& bytes : files) total += bytes.size();
  // Jobs 1 and 2 wait for each other, so two downloads run at once on two threads, and job 1
  // waits on until a report falls between nothing and all.
  HeldBack held;
  bool reportedPartWay = false;
  held.until[jobs[2].sha256] = [&] { return held.Begun(jobs[1].sha256) > 0; };
  held.until[jobs[1].sha256] = [&] { return held.Begun(jobs[2].sha256) > 0 && reportedPartWay; };
  Watch watch;
  const Outcome outcome = Download(Watched(held.Over(FolderFetcher(scratch_ / "web")), watch), jobs,
                                   SmallRanges(), [&](uint64_t counted) {
                                     if (counted > 0 && counted < total)
                                       held.Notify([&] { reportedPartWay = true; });
                                   });
  ASSERT_EQ(outcome.result.failed, jobs.size()) << outcome.result.fetchError;
  EXPECT_EQ(outcome.result.counted, total);
  ExpectCleanStop(outcome, jobs, files);
  EXPECT_GT(watch.mostAtOnce, 1);
  EXPECT_GT(outcome.threads.size(), 1u);
  // Reported while the downloads ran, not only at the end.
  EXPECT_GT(std::count_if(outcome.progress.begin(), outcome.progress.end(),
                          [&](uint64_t counted) { return counted > 0 && counted < total; }),
            0);
}

// One file from every source at once: chunks a stopped run left in place (a hole among them),
// chunks of the kept file at the same path, and ranges of the website for what neither holds.
// Only those ranges are asked for, and the file comes out whole.
TEST_F(ExecutorTest, AFileComesFromItsKeptStartKeptChunksAndTheWebsite) {
  std::vector<std::string> chunks;
  for (uint32_t i = 0; i < 12; ++i) chunks.push_back(RandomBytes(40000 + 1000 * i, 70 + i));
  std::vector<std::string> keptChunks = chunks;
  keptChunks[3] = RandomBytes(chunks[3].size(), 90);
  keptChunks[4] = RandomBytes(chunks[4].size(), 91);
  keptChunks[9] = RandomBytes(chunks[9].size() + 5, 92);
  const std::string wanted = Joined(chunks);
  const std::string newList = ChunkListBytes(chunks);
  const std::string keptList = ChunkListBytes(keptChunks);
  WriteFiles(scratch_ / "web", {{"client/files/" + Sha256Hex(wanted), wanted},
                                {"client/files/" + Sha256Hex(newList), newList},
                                {"client/files/" + Sha256Hex(keptList), keptList}});
  // In place: chunks 0, 1, 3 and 5; chunk 2 a hole, chunk 4 wrong.
  std::vector<std::string> staged(chunks.begin(), chunks.begin() + 6);
  staged[2] = std::string(chunks[2].size(), '\0');
  staged[4] = RandomBytes(chunks[4].size(), 93);
  const fs::path destination = scratch_ / "out" / "pack.dat";
  const fs::path kept = scratch_ / "kept" / "pack.dat";
  WriteFiles(scratch_, {{"out/pack.dat", Joined(staged)}, {"kept/pack.dat", Joined(keptChunks)}});

  const ManifestFile file{.path = "data/pack.dat",
                          .sha256 = Sha256Hex(wanted),
                          .size = wanted.size(),
                          .chunks = Sha256Hex(newList)};
  ChunkedKeptFiles chunked;
  AddChunkedKeptFile(
      chunked, {.path = "data/pack.dat", .sha256 = {}, .size = 0, .chunks = Sha256Hex(keptList)},
      kept);
  const Sha256ProviderOwner hashing = OpenSha256Provider();
  const StagedFile left =
      InspectStagedFile(destination, file.size, file.sha256, *hashing, SmallRanges());
  Watch watch;
  const HttpFetcher fetch = Watched(FolderFetcher(scratch_ / "web"), watch);
  const HttpSessionOwner session = OpenHttpSession();
  const FilePlan plan = PlanFile(fetch, *session, *hashing,
                                 {.website = kTestWebsite,
                                  .file = file,
                                  .destination = destination,
                                  .staged = left,
                                  .partners = {},
                                  .chunked = chunked,
                                  .kept = {},
                                  .settings = SmallRanges()});
  const uint64_t fromWebsite = chunks[4].size() + chunks[9].size();
  EXPECT_EQ(plan.fetchBytes, fromWebsite);
  const Outcome outcome = Download(fetch, {plan}, SmallRanges());
  ASSERT_EQ(outcome.result.failed, 1u) << outcome.result.fetchError;
  EXPECT_TRUE(ReadBytes(destination) == wanted);
  EXPECT_EQ(outcome.result.counted, fromWebsite);
  std::multiset<uint64_t> ranges;
  for (const HttpRequest& request : watch.requests) {
    if (request.url.ends_with(file.sha256)) ranges.insert(request.rangeLength);
  }
  EXPECT_EQ(ranges, (std::multiset<uint64_t>{chunks[4].size(), chunks[9].size()}));
  // Each chunk list once: the new file's and the kept file's.
  EXPECT_EQ(watch.requests.size(), 4u);
}

// A failure lands while a later file's pieces wait, held in memory ahead of its hashing, for room
// that never comes: they stop, the memory is given back, and the file keeps only what runs
// together from its start.
TEST_F(ExecutorTest, AFailureEndsPiecesWaitingForRoom) {
  const std::vector<std::string> files = {RandomBytes(3000, 100), RandomBytes(600 << 10, 101)};
  const std::vector<FilePlan> jobs = Jobs(kTestWebsite, files);
  DownloadSettings settings = SmallRanges();
  settings.heldBytes = 64 << 10;  // one piece
  std::mutex lock;
  std::condition_variable changed;
  int laterPieces = 0;
  bool failed = false;
  const HttpFetcher inner = FolderFetcher(scratch_ / "web");
  const HttpFetcher fetch = [&](HttpSession& session, const HttpRequest& request,
                                const BodySink& sink, std::string& error, bool& responded) {
    std::unique_lock<std::mutex> hold(lock);
    if (request.url == jobs[0].url) {
      // Bounded, so a fault fails the case, not the run.
      changed.wait_for(hold, std::chrono::seconds(30), [&] { return laterPieces >= 3; });
      failed = true;
      error = "gone";
      return FetchStatus::Failed;
    }
    if (request.rangeStart == 0) {
      // The first piece of the ranged file comes only after the failure has been recorded.
      changed.wait_for(hold, std::chrono::seconds(30), [&] { return failed; });
      hold.unlock();
      std::this_thread::sleep_for(std::chrono::milliseconds(200));
    } else {
      ++laterPieces;
      changed.notify_all();
      hold.unlock();
    }
    return inner(session, request, sink, error, responded);
  };
  const Outcome outcome = Download(fetch, jobs, settings);
  EXPECT_EQ(outcome.result.failed, 0u);
  EXPECT_EQ(outcome.result.fetchError, "gone");
  EXPECT_TRUE(ReadBytes(jobs[1].destination).empty());
  ExpectCleanStop(outcome, jobs, files);
}

}  // namespace
