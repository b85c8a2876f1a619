#include "update/transfer/parallel_download.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <exception>
#include <limits>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

#include "files/disk.h"
#include "files/file_io.h"
#include "files/patience.h"
#include "update/trust/crypto.h"

namespace fs = std::filesystem;

namespace {

// Errors of a piece's fetch that are never shown: either means the file is fetched whole.
constexpr char kRangeIgnored[] = "The website sent the whole file";
constexpr char kPieceTooLong[] = "The website sent more than was asked for";

// How often the watching thread reports the bytes while workers run.
constexpr std::chrono::milliseconds kReportEvery{50};

constexpr size_t kNoTask = std::numeric_limits<size_t>::max();
constexpr size_t kNoJob = std::numeric_limits<size_t>::max();

bool Ranged(uint64_t size, const DownloadSettings& settings) {
  return size >= settings.rangedFileBytes && settings.piecesAtOnce > 0;
}

// A whole file, or one byte range of a ranged file.
struct Task {
  size_t job = 0;
  bool piece = false;
  size_t ordinal = 0;  // of a piece, among its file's
  uint64_t start = 0;
  uint64_t length = 0;
};

// A job's state while its tasks run.
struct FileState {
  uint64_t planned = 0;               // the bytes it may count: its size less resumeFrom
  std::atomic<uint64_t> received{0};  // over every fetch of the job
  size_t untaken = 0;                 // pieces not yet taken, under Shared::lock
  size_t running = 0;                 // pieces being fetched, under Shared::lock
  std::mutex lock;                    // the fields below
  std::FILE* out = nullptr;           // a ranged file, open while its pieces run
  bool again = false;                 // a piece came back whole or wrong: fetch the file whole
  bool notWritten = false;
  bool notFetched = false;
  std::string error;             // the first piece's network error
  uint64_t from = 0;             // where the first piece starts
  std::vector<bool> piecesDone;  // each piece, once it arrived whole

  // The file's bytes are hashed in order while later pieces still arrive, read back once they run
  // together from its start, so the check at the end has little left to read. One worker at a
  // time; the fields below are under hashLock.
  std::mutex hashLock;
  Sha256HasherOwner hasher;
  uint64_t hashedTo = 0;
  std::FILE* reader = nullptr;
  bool hashFailed = false;
};

// Where a ranged file's bytes stop running together from its start: the first piece not done.
uint64_t WrittenFromStart(const FileState& file, uint64_t pieceBytes, uint64_t size) {
  const auto missing = std::find(file.piecesDone.begin(), file.piecesDone.end(), false);
  const auto done = static_cast<uint64_t>(missing - file.piecesDone.begin());
  return std::min(size, file.from + done * pieceBytes);
}

struct Shared {
  Shared(const HttpFetcher& fetch, const std::vector<DownloadJob>& jobs,
         const DownloadSettings& settings)
      : fetch(fetch),
        jobs(jobs),
        settings(settings),
        files(jobs.size()),
        outcomes(jobs.size(), DownloadOutcome::Done),
        errors(jobs.size()) {}
  ~Shared() {
    // Only a worker that threw leaves a file open.
    for (const std::unique_ptr<FileState>& file : files) {
      if (file && file->out != nullptr) std::fclose(file->out);
      if (file && file->reader != nullptr) std::fclose(file->reader);
    }
  }
  Shared(const Shared&) = delete;
  Shared& operator=(const Shared&) = delete;

  const HttpFetcher& fetch;
  const std::vector<DownloadJob>& jobs;
  const DownloadSettings& settings;
  // Opened on the calling thread, so it outlives every worker that hashes a ranged file.
  Sha256ProviderOwner hashing = OpenSha256Provider();
  std::vector<Task> tasks;
  std::vector<std::unique_ptr<FileState>> files;

  std::mutex lock;  // the fields below and FileState's counts of pieces
  std::condition_variable ended;
  std::vector<bool> taken;
  size_t firstUntaken = 0;
  size_t workers = 0;
  std::vector<DownloadOutcome> outcomes;
  std::vector<std::string> errors;
  std::exception_ptr thrown;

  // The first failed job so far: every later one stops.
  std::atomic<size_t> stopAfter{kNoJob};
  std::atomic<bool> abandoned{false};
  std::atomic<uint64_t> counted{0};
  std::atomic<bool> waited{false};
  // Set when the calling thread runs the tasks itself, so bytes are reported as they arrive.
  const DownloadsProgress* progressHere = nullptr;
};

bool Stopped(const Shared& shared, size_t job) {
  return shared.abandoned || job > shared.stopAfter.load();
}

void Count(Shared& shared, size_t job, size_t size) {
  FileState& file = *shared.files[job];
  const uint64_t before = file.received.fetch_add(size);
  const uint64_t after = before + size;
  const uint64_t credit = std::min(after, file.planned) - std::min(before, file.planned);
  if (credit != 0) shared.counted += credit;
}

// fetch, with the job's bytes counted and refused once the job is stopped.
HttpFetcher CountingFetcher(Shared& shared, size_t job) {
  return [&shared, job](HttpSession& session, const HttpRequest& request, const BodySink& sink,
                        std::string& error, bool& responded) {
    return shared.fetch(
        session, request,
        [&](const char* data, size_t size) {
          if (Stopped(shared, job) || !sink(data, size)) return false;
          Count(shared, job, size);
          if (shared.progressHere != nullptr) (*shared.progressHere)(shared.counted);
          return true;
        },
        error, responded);
  };
}

void Finish(Shared& shared, size_t job, DownloadOutcome outcome, const std::string& error) {
  {
    const std::lock_guard<std::mutex> hold(shared.lock);
    shared.outcomes[job] = outcome;
    shared.errors[job] = error;
  }
  if (outcome == DownloadOutcome::Done) return;
  for (size_t first = shared.stopAfter.load();
       job < first && !shared.stopAfter.compare_exchange_weak(first, job);) {
  }
}

// The file fetched whole, or continued from resumeFrom.
void FetchWhole(Shared& shared, size_t job, uint64_t resumeFrom, HttpSession& session,
                Sha256Provider& provider) {
  const DownloadJob& download = shared.jobs[job];
  std::string error;
  bool responded = false;
  const DownloadOutcome outcome =
      DownloadStagedFile(CountingFetcher(shared, job), session, download.request, download.sha256,
                         provider, download.destination, resumeFrom, error, responded);
  if (Stopped(shared, job)) return;
  Finish(shared, job, outcome, error);
}

void FetchPiece(Shared& shared, const Task& task, HttpSession& session) {
  const DownloadJob& download = shared.jobs[task.job];
  FileState& file = *shared.files[task.job];
  {
    const std::lock_guard<std::mutex> hold(file.lock);
    if (file.out == nullptr && !file.notWritten) {
      // Bytes an interrupted run left are kept; anything else there is cleared.
      file.out = download.resumeFrom > 0 ? OpenForUpdating(download.destination)
                                         : OpenForWriting(download.destination);
      if (file.out == nullptr) file.notWritten = true;
    }
    if (file.out == nullptr || file.again || file.notFetched) return;
  }
  HttpRequest request = download.request;
  request.rangeStart = task.start;
  request.rangeLength = task.length;
  request.maxBytes = task.length;
  request.expectedSize = task.length;
  request.tooLong = kPieceTooLong;
  request.rangeIgnored = kRangeIgnored;
  request.progress = nullptr;
  uint64_t received = 0;
  bool writeFailed = false;
  const BodySink sink = [&](const char* data, size_t size) {
    if (size > task.length - received) return false;
    // A stop between two pieces leaves holes, which the next run fetches again.
    const std::lock_guard<std::mutex> hold(file.lock);
    if (!WriteAt(file.out, task.start + received, data, size)) {
      writeFailed = true;
      return false;
    }
    received += size;
    return true;
  };
  std::string error;
  bool responded = false;
  const bool fetched = CountingFetcher(shared, task.job)(session, request, sink, error, responded);
  if (Stopped(shared, task.job)) return;
  const std::lock_guard<std::mutex> hold(file.lock);
  if (writeFailed) {
    file.notWritten = true;
  } else if (fetched ? received != task.length : error == kRangeIgnored || error == kPieceTooLong) {
    // A website that ignores ranges, or sends a part other than the one asked for, gets one
    // plain download of the file.
    file.again = true;
  } else if (!fetched && !file.notFetched) {
    file.notFetched = true;
    file.error = error;
  } else if (fetched) {
    file.piecesDone[task.ordinal] = true;
  }
}

// Hashes the file's bytes from where the hashing stands up to end, read back from the disk.
void HashUpTo(FileState& file, const fs::path& path, uint64_t end) {
  if (file.hashFailed || end <= file.hashedTo) return;
  if (file.reader == nullptr) {
    int error = 0;
    file.reader = OpenFileForReading(path, error);
    if (file.reader == nullptr) {
      file.hashFailed = true;
      return;
    }
    // Read-ahead would keep bytes of pieces that have not arrived yet.
    std::setvbuf(file.reader, nullptr, _IONBF, 0);
  }
  if (!SeekOpenFile(file.reader, file.hashedTo)) {
    file.hashFailed = true;
    return;
  }
  std::vector<char> buffer(kFilePieceBytes);
  while (file.hashedTo < end) {
    const auto size = static_cast<size_t>(std::min<uint64_t>(buffer.size(), end - file.hashedTo));
    if (std::fread(buffer.data(), 1, size, file.reader) != size) {
      file.hashFailed = true;
      return;
    }
    UpdateSha256(*file.hasher, buffer.data(), size);
    file.hashedTo += size;
  }
}

// Hashes what has arrived in order since the last time, unless another worker is at it.
void HashWhatArrived(Shared& shared, size_t job) {
  FileState& file = *shared.files[job];
  const std::unique_lock<std::mutex> hashing(file.hashLock, std::try_to_lock);
  if (!hashing.owns_lock()) return;
  uint64_t end = 0;
  {
    const std::lock_guard<std::mutex> hold(file.lock);
    if (file.out == nullptr || file.again || file.notFetched || file.notWritten) return;
    end = WrittenFromStart(file, std::max<uint64_t>(shared.settings.pieceBytes, 1),
                           shared.jobs[job].request.expectedSize);
    // The reading handle sees only what this stream has handed to the system.
    if (std::fflush(file.out) != 0) return;
  }
  HashUpTo(file, shared.jobs[job].destination, end);
}

// After the last piece: the file counts only once its whole fingerprint is right.
void FinishRanged(Shared& shared, size_t job, HttpSession& session, Sha256Provider& provider) {
  const DownloadJob& download = shared.jobs[job];
  FileState& file = *shared.files[job];
  std::unique_lock<std::mutex> hold(file.lock);
  // A file left for the next run keeps only the bytes that run together from its start, so no
  // file of the full size holds holes. A stop by the system may still leave some, within the
  // slack the next run gives back.
  const bool left = Stopped(shared, job) || (file.notFetched && !file.notWritten);
  bool cut = true;
  if (left && file.out != nullptr) {
    cut = TruncateOpenFile(file.out,
                           WrittenFromStart(file, std::max<uint64_t>(shared.settings.pieceBytes, 1),
                                            download.request.expectedSize));
  }
  const bool closed = (file.out == nullptr || CloseStagedFile(file.out)) && cut;
  file.out = nullptr;
  if (Stopped(shared, job)) return;
  if (file.notWritten || !closed) {
    RemovePathTree(download.destination);
    Finish(shared, job, DownloadOutcome::NotWritten, {});
    return;
  }
  if (file.notFetched) {
    Finish(shared, job, DownloadOutcome::NotFetched, file.error);
    return;
  }
  const bool again = file.again;
  hold.unlock();
  bool right = false;
  if (!again) {
    const std::lock_guard<std::mutex> hashing(file.hashLock);
    HashUpTo(file, download.destination, download.request.expectedSize);
    right = !file.hashFailed && FinishSha256Hex(*file.hasher) == download.sha256;
    if (file.reader != nullptr) std::fclose(file.reader);
    file.reader = nullptr;
  }
  if (right) {
    Finish(shared, job, DownloadOutcome::Done, {});
    return;
  }
  FetchWhole(shared, job, 0, session, provider);
}

// The next task a worker may take: the first untaken one, but never a piece more of a file that
// already has its pieces at once running. Pieces of a file are taken in order, so its holes stay
// within the pieces that run at once.
size_t Take(Shared& shared) {
  const std::lock_guard<std::mutex> hold(shared.lock);
  while (shared.firstUntaken < shared.tasks.size() && shared.taken[shared.firstUntaken]) {
    ++shared.firstUntaken;
  }
  for (size_t i = shared.firstUntaken; i < shared.tasks.size(); ++i) {
    if (shared.taken[i]) continue;
    const Task& task = shared.tasks[i];
    if (task.piece) {
      FileState& file = *shared.files[task.job];
      if (file.running >= shared.settings.piecesAtOnce && !Stopped(shared, task.job)) continue;
      ++file.running;
      --file.untaken;
    }
    shared.taken[i] = true;
    return i;
  }
  return kNoTask;
}

void Run(Shared& shared, const Task& task, HttpSession& session, Sha256Provider& provider) {
  if (!task.piece) {
    if (Stopped(shared, task.job)) return;
    FetchWhole(shared, task.job, shared.jobs[task.job].resumeFrom, session, provider);
    return;
  }
  if (!Stopped(shared, task.job)) {
    FetchPiece(shared, task, session);
    HashWhatArrived(shared, task.job);
  }
  FileState& file = *shared.files[task.job];
  bool last = false;
  {
    const std::lock_guard<std::mutex> hold(shared.lock);
    --file.running;
    last = file.untaken == 0 && file.running == 0;
  }
  if (last) FinishRanged(shared, task.job, session, provider);
}

void Work(Shared& shared, HttpSession& session) {
  const Sha256ProviderOwner provider = OpenSha256Provider();
  for (size_t i = Take(shared); i != kNoTask; i = Take(shared)) {
    try {
      Run(shared, shared.tasks[i], session, *provider);
    } catch (...) {
      const std::lock_guard<std::mutex> hold(shared.lock);
      if (!shared.thrown) shared.thrown = std::current_exception();
      shared.abandoned = true;
    }
  }
}

// Joins every worker, however the watching ends.
struct Workers {
  std::vector<std::thread> threads;
  Workers() = default;
  Workers(const Workers&) = delete;
  Workers& operator=(const Workers&) = delete;
  ~Workers() {
    for (std::thread& thread : threads) thread.join();
  }
};

void PlanTasks(Shared& shared) {
  const DownloadSettings& settings = shared.settings;
  const uint64_t pieceBytes = std::max<uint64_t>(settings.pieceBytes, 1);
  for (size_t job = 0; job < shared.jobs.size(); ++job) {
    const DownloadJob& download = shared.jobs[job];
    const uint64_t size = download.request.expectedSize;
    const uint64_t from = std::min(download.resumeFrom, size);
    shared.files[job] = std::make_unique<FileState>();
    FileState& file = *shared.files[job];
    file.planned = size - from;
    if (!Ranged(size, settings) || size - from <= pieceBytes) {
      shared.tasks.push_back({job, false, 0, 0, 0});
      continue;
    }
    file.from = from;
    for (uint64_t start = from; start < size; start += pieceBytes) {
      shared.tasks.push_back({job, true, file.untaken, start, std::min(pieceBytes, size - start)});
      ++file.untaken;
    }
    file.piecesDone.assign(file.untaken, false);
    file.hasher = StartSha256(*shared.hashing);
  }
  shared.taken.assign(shared.tasks.size(), false);
}

}  // namespace

uint64_t RangedSlackBytes(uint64_t size, const DownloadSettings& settings) {
  return Ranged(size, settings) ? std::max<uint64_t>(settings.pieceBytes, 1) * settings.piecesAtOnce
                                : 0;
}

DownloadsResult DownloadFiles(const HttpFetcher& fetch, HttpSession& session,
                              const std::vector<DownloadJob>& jobs,
                              const DownloadsProgress& progress,
                              const std::function<void()>& waiting,
                              const DownloadSettings& settings) {
  Shared shared(fetch, jobs, settings);
  PlanTasks(shared);

  const size_t wanted = std::min(std::max<size_t>(settings.workers, 1), shared.tasks.size());
  const std::chrono::milliseconds patience = PatienceScope::CurrentLimit();
  {
    Workers workers;
    if (wanted > 1) {
      for (size_t i = 0; i < wanted; ++i) {
        {
          const std::lock_guard<std::mutex> hold(shared.lock);
          ++shared.workers;
        }
        try {
          // The first worker carries on over the caller's session and its open connection.
          workers.threads.emplace_back([&shared, &session, patience, first = i == 0] {
            // A worker that waits for another program says so through the watching thread, and
            // waits as long as the caller would.
            const PatienceScope scope(patience, [&shared] { shared.waited = true; });
            if (first) {
              Work(shared, session);
            } else {
              const HttpSessionOwner own = OpenHttpSession(SettingsOf(session));
              Work(shared, *own);
            }
            {
              const std::lock_guard<std::mutex> hold(shared.lock);
              --shared.workers;
            }
            shared.ended.notify_all();
          });
        } catch (const std::system_error&) {
          // No more threads to be had: those started share the work.
          const std::lock_guard<std::mutex> hold(shared.lock);
          --shared.workers;
          break;
        }
      }
      std::unique_lock<std::mutex> hold(shared.lock);
      while (shared.workers > 0) {
        shared.ended.wait_for(hold, kReportEvery);
        hold.unlock();
        if (shared.waited.exchange(false)) waiting();
        progress(shared.counted);
        hold.lock();
      }
    }
    if (workers.threads.empty()) {
      // One task, or no thread could start: this thread does the work over the caller's session.
      shared.progressHere = &progress;
      Work(shared, session);
      shared.progressHere = nullptr;
    }
  }
  if (shared.thrown) std::rethrow_exception(shared.thrown);

  DownloadsResult result;
  result.counted = shared.counted;
  progress(result.counted);
  result.failed = jobs.size();
  for (size_t job = 0; job < jobs.size(); ++job) {
    if (shared.outcomes[job] == DownloadOutcome::Done) continue;
    result.failed = job;
    result.outcome = shared.outcomes[job];
    result.error = shared.errors[job];
    break;
  }
  return result;
}
