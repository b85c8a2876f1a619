#include "update/transfer/executor.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <exception>
#include <limits>
#include <memory>
#include <mutex>
#include <optional>
#include <system_error>
#include <thread>
#include <utility>

#include "files/disk.h"
#include "files/file_io.h"
#include "files/patience.h"
#include "update/trust/crypto.h"
#include "update/trust/packed.h"
#include "update/trust/patch.h"

namespace fs = std::filesystem;

namespace {

// How often the watching thread reports the bytes while workers run.
constexpr std::chrono::milliseconds kReportEvery{50};
// How long a piece waits at most before it looks again whether memory is free for it.
constexpr std::chrono::milliseconds kRoomCheckEvery{10};

constexpr size_t kNoTask = std::numeric_limits<size_t>::max();
// The task that opens a file and takes its pieces from the disk.
constexpr size_t kStartTask = std::numeric_limits<size_t>::max();
constexpr uint64_t kUnknownPosition = std::numeric_limits<uint64_t>::max();
// Bytes held ahead of the hashing are kept in blocks of this size, used again and again, so the
// memory they take is what the bound allows and no more.
constexpr size_t kBlockBytes = size_t{256} << 10;

struct HeldBlock {
  std::unique_ptr<char[]> bytes;
  size_t size = 0;
};

struct StreamCloser {
  void operator()(std::FILE* file) const { std::fclose(file); }
};
using UniqueStream = std::unique_ptr<std::FILE, StreamCloser>;

// What went wrong with a file's current attempt.
enum class Trouble {
  None,
  Again,       // its bytes cannot be right this way: the next attempt, if any
  NotFetched,  // the website failed: the file is left for the next run
  NotWritten,
};

// A website piece of a file's current attempt.
struct PieceState {
  bool arrived = false;  // whole and written
  bool direct = false;   // the hashing has reached it: its bytes are hashed as they arrive
  uint64_t received = 0;
  std::vector<HeldBlock> held;  // received ahead of the hashing
  uint64_t heldBytes = 0;
};

// A plan's state while it is carried out. Everything is under lock, but for running, which Take
// reads to hold a file to its pieces at once.
struct FileState {
  std::mutex lock;
  size_t attempt = 0;  // 0: the plan's pieces; then each partner; then the whole from the website
  std::vector<Piece> pieces;
  std::vector<fs::path> disks;
  std::vector<PieceState> states;
  std::vector<UniqueStream> readers;  // of disks, opened by the hashing worker
  bool opened = false;
  // The destination shares the bytes of the attempt's disk file: it is only hashed, never opened
  // for writing, so nothing can change the other file through it.
  bool linked = false;
  std::FILE* out = nullptr;
  uint64_t position = 0;  // of out, so that writes in order need no seek
  Sha256HasherOwner hasher;
  size_t hashed = 0;  // pieces hashed, from the first
  bool advancing = false;
  std::atomic<size_t> running{0};  // website pieces being fetched
  Trouble trouble = Trouble::None;
  std::string error;     // NotFetched: the first piece's
  bool settled = false;  // the current attempt has ended
  uint64_t received = 0;
};

struct Task {
  size_t file = 0;
  size_t attempt = 0;
  size_t piece = kStartTask;
};

struct Shared {
  Shared(const HttpFetcher& fetch, const std::vector<FilePlan>& plans,
         const DownloadSettings& settings, const FileSharer& share)
      : fetch(fetch),
        plans(plans),
        settings(settings),
        share(share),
        files(plans.size()),
        outcomes(plans.size(), FileOutcome::Done),
        errors(plans.size()) {
    for (std::unique_ptr<FileState>& file : files) file = std::make_unique<FileState>();
  }
  ~Shared() {
    // Only a worker that threw leaves a file open.
    for (const std::unique_ptr<FileState>& file : files) {
      if (file->out != nullptr) std::fclose(file->out);
    }
  }
  Shared(const Shared&) = delete;
  Shared& operator=(const Shared&) = delete;

  const HttpFetcher& fetch;
  const std::vector<FilePlan>& plans;
  const DownloadSettings& settings;
  const FileSharer& share;
  // Cleared once the volume refused to share any file: the rest are copied.
  std::atomic<bool> sharing{true};
  std::mutex wayLock;
  std::optional<ShareWay> way;  // the volume's, asked at the first share
  // Opened on the calling thread, so it outlives every worker that hashes.
  Sha256ProviderOwner hashing = OpenSha256Provider();
  std::vector<std::unique_ptr<FileState>> files;

  // Held by the one worker copying from the disk: files written at once only slow the disk, and
  // a copy takes no connection.
  std::mutex copying;

  std::mutex lock;  // the fields below; taken before a file's lock, never after
  std::condition_variable ended;
  std::vector<Task> tasks;
  size_t firstUntaken = 0;
  size_t workers = 0;
  std::vector<FileOutcome> outcomes;
  std::vector<std::string> errors;
  std::exception_ptr thrown;

  // Bytes held in memory ahead of their file's hashing, and the wait for them to be hashed.
  std::atomic<uint64_t> held{0};
  std::mutex roomLock;
  std::condition_variable room;
  std::vector<std::unique_ptr<char[]>> spareBlocks;  // under roomLock
  std::atomic<uint64_t> roomChanges{0};  // each Release counts one, changed under roomLock

  // The first failed plan so far: every later one stops.
  std::atomic<size_t> stopAfter{kNoTask};
  std::atomic<bool> abandoned{false};
  std::atomic<uint64_t> counted{0};
  std::atomic<bool> waited{false};
  // Set when the calling thread runs the tasks itself, so bytes are reported as they arrive.
  const TransferProgress* progressHere = nullptr;
};

bool Stopped(const Shared& shared, size_t file) {
  return shared.abandoned || file > shared.stopAfter.load();
}

bool TryHold(Shared& shared, uint64_t size) {
  for (uint64_t now = shared.held.load();;) {
    if (now + size > shared.settings.heldBytes && now != 0) return false;
    if (shared.held.compare_exchange_weak(now, now + size)) return true;
  }
}

void Release(Shared& shared, uint64_t size) {
  if (size != 0) shared.held -= size;
  const std::lock_guard<std::mutex> hold(shared.roomLock);
  ++shared.roomChanges;
  shared.room.notify_all();
}

uint64_t RoomChanges(const Shared& shared) { return shared.roomChanges.load(); }

// Appends the bytes to the held blocks, filling the last one first.
void Keep(Shared& shared, std::vector<HeldBlock>& held, const char* data, size_t size) {
  while (size > 0) {
    if (held.empty() || held.back().size == kBlockBytes) {
      std::unique_ptr<char[]> block;
      {
        const std::lock_guard<std::mutex> hold(shared.roomLock);
        if (!shared.spareBlocks.empty()) {
          block = std::move(shared.spareBlocks.back());
          shared.spareBlocks.pop_back();
        }
      }
      if (!block) block.reset(new char[kBlockBytes]);
      held.push_back({std::move(block), 0});
    }
    HeldBlock& last = held.back();
    const size_t part = std::min(size, kBlockBytes - last.size);
    std::copy(data, data + part, last.bytes.get() + last.size);
    last.size += part;
    data += part;
    size -= part;
  }
}

// Gives the piece's held blocks back for use again, and their bytes back to the bound.
void GiveBack(Shared& shared, PieceState& state) {
  {
    const std::lock_guard<std::mutex> hold(shared.roomLock);
    for (HeldBlock& block : state.held) shared.spareBlocks.push_back(std::move(block.bytes));
  }
  state.held.clear();
  Release(shared, std::exchange(state.heldBytes, 0));
}

// Waits until memory was given back or a piece reached the hashing since seen was read.
void WaitForRoom(Shared& shared, uint64_t seen) {
  std::unique_lock<std::mutex> hold(shared.roomLock);
  shared.room.wait_for(hold, kRoomCheckEvery, [&] { return shared.roomChanges != seen; });
}

void Record(Shared& shared, size_t file, FileOutcome outcome, const std::string& error) {
  {
    const std::lock_guard<std::mutex> hold(shared.lock);
    shared.outcomes[file] = outcome;
    shared.errors[file] = error;
  }
  if (outcome == FileOutcome::Done) return;
  for (size_t first = shared.stopAfter.load();
       file < first && !shared.stopAfter.compare_exchange_weak(first, file);) {
  }
}

// Writes at offset through the file's stream; in order, without a seek.
bool Write(FileState& file, uint64_t offset, const char* data, size_t size) {
  if (file.position != offset && !SeekOpenFile(file.out, offset)) {
    file.position = kUnknownPosition;
    return false;
  }
  if (std::fwrite(data, 1, size, file.out) != size) {
    file.position = kUnknownPosition;
    return false;
  }
  file.position = offset + size;
  return true;
}

bool ReadsOwnDestination(const FileState& file, const fs::path& destination) {
  return std::any_of(file.pieces.begin(), file.pieces.end(), [&](const Piece& piece) {
    return piece.disk != kFromWebsite && file.disks[piece.disk] == destination;
  });
}

// Puts a link or clone of the attempt's one disk file at the destination, where its bytes are then
// hashed, when the plan allows it. False when the file is to be copied: the volume refused, for
// this file or (from then on) for every one.
bool Share(Shared& shared, FileState& file, const FilePlan& plan) {
  if (!plan.shares || !shared.sharing || file.pieces.size() != 1 ||
      file.pieces.front().disk == kFromWebsite) {
    return false;
  }
  fs::path& from = file.disks[file.pieces.front().disk];
  if (from == plan.destination) return false;
  ShareWay way = ShareWay::Link;
  {
    const std::lock_guard<std::mutex> hold(shared.wayLock);
    if (!shared.way) shared.way = ShareWayOf(from);
    way = *shared.way;
  }
  const int error = ShareInto(shared.share, from, plan.destination, way);
  if (error == 0) {
    from = plan.destination;
    return true;
  }
  if (RefusesEveryShare(error)) shared.sharing = false;
  return false;
}

// Opens the destination once per attempt; bytes left in place by a stopped run are kept. A file
// written from its start is always a new one: what an earlier run or attempt left there may share
// its bytes with a kept version's file.
void EnsureOpen(Shared& shared, FileState& file, const FilePlan& plan) {
  if (file.opened) return;
  file.opened = true;
  file.hasher = StartSha256(*shared.hashing);
  const bool keeps = ReadsOwnDestination(file, plan.destination);
  if (!keeps && (plan.replaces || file.attempt > 0) &&
      EntryKindOf(plan.destination) == EntryKind::File) {
    RemoveEntry(plan.destination);
  }
  if (!keeps && Share(shared, file, plan)) {
    file.linked = true;
    return;
  }
  file.out = keeps ? OpenForUpdating(plan.destination) : OpenForWriting(plan.destination);
  // Pieces arrive in pieces of their own and are written at offsets: a buffer would only cut
  // each write in two.
  if (file.out != nullptr) std::setvbuf(file.out, nullptr, _IONBF, 0);
  file.position = 0;
  if (file.out == nullptr) file.trouble = Trouble::NotWritten;
}

// The bytes of a disk piece, hashed as they are read and written at their place unless they are
// already there. Runs on the worker that hashes the file, so the hasher and readers are its own.
// A stop ends it between two reads, with copied false.
Trouble CopyPiece(Shared& shared, size_t index, FileState& file, const Piece& piece, bool& copied) {
  const FilePlan& plan = shared.plans[index];
  copied = false;
  UniqueStream& reader = file.readers[piece.disk];
  if (!reader) {
    int error = 0;
    reader.reset(OpenFileForReading(file.disks[piece.disk], error));
    if (!reader) return Trouble::Again;
    // Pieces are read in order, so read-ahead serves them; a seek is needed only between runs.
  }
  if (!SeekOpenFile(reader.get(), piece.diskOffset)) return Trouble::Again;
  const bool inPlace = file.disks[piece.disk] == plan.destination;
  const std::lock_guard<std::mutex> alone(shared.copying);
  std::vector<char> buffer(static_cast<size_t>(std::min<uint64_t>(kFilePieceBytes, piece.length)));
  for (uint64_t done = 0; done < piece.length;) {
    if (Stopped(shared, index)) return Trouble::None;
    const auto size = static_cast<size_t>(std::min<uint64_t>(buffer.size(), piece.length - done));
    if (std::fread(buffer.data(), 1, size, reader.get()) != size) return Trouble::Again;
    UpdateSha256(*file.hasher, buffer.data(), size);
    if (!inPlace) {
      const std::lock_guard<std::mutex> hold(file.lock);
      if (!Write(file, piece.offset + done, buffer.data(), size)) return Trouble::NotWritten;
    }
    done += size;
  }
  copied = true;
  return Trouble::None;
}

// Moves the hashing forward as far as the bytes run together from where it stands: pieces from
// the disk are copied on the way, pieces that arrived ahead are hashed from memory, and the first
// piece still arriving is hashed as it arrives from then on. One worker at a time.
void Advance(Shared& shared, size_t index) {
  FileState& file = *shared.files[index];
  std::unique_lock<std::mutex> hold(file.lock);
  if (file.advancing || !file.opened || file.settled) return;
  file.advancing = true;
  while (file.hashed < file.pieces.size() && file.trouble == Trouble::None &&
         !Stopped(shared, index)) {
    const Piece& piece = file.pieces[file.hashed];
    if (piece.disk != kFromWebsite) {
      hold.unlock();
      bool copied = false;
      const Trouble trouble = CopyPiece(shared, index, file, piece, copied);
      hold.lock();
      if (trouble != Trouble::None && file.trouble == Trouble::None) file.trouble = trouble;
      if (!copied) break;
      ++file.hashed;
      continue;
    }
    PieceState& state = file.states[file.hashed];
    if (!state.held.empty()) {
      for (const HeldBlock& block : state.held) {
        UpdateSha256(*file.hasher, block.bytes.get(), block.size);
      }
      GiveBack(shared, state);
    }
    if (!state.arrived) {
      state.direct = true;
      Release(shared, 0);
      break;
    }
    ++file.hashed;
  }
  file.advancing = false;
}

// Gives back the memory the attempt's pieces hold.
void DropHeld(Shared& shared, FileState& file) {
  for (PieceState& state : file.states) GiveBack(shared, state);
}

// Where the bytes written by the attempt stop running together from the file's start.
uint64_t WrittenFromStart(const FileState& file, const fs::path& destination) {
  for (size_t i = 0; i < file.pieces.size(); ++i) {
    const Piece& piece = file.pieces[i];
    if (piece.disk == kFromWebsite) {
      if (!file.states[i].arrived) return piece.offset + file.states[i].received;
    } else if (i >= file.hashed && file.disks[piece.disk] != destination) {
      return piece.offset;
    }
  }
  return file.pieces.empty() ? 0 : file.pieces.back().offset + file.pieces.back().length;
}

bool WholeRaw(const std::vector<Piece>& pieces, uint64_t size) {
  return pieces.empty() || (pieces.size() == 1 && pieces.front().disk == kFromWebsite &&
                            pieces.front().length == size && pieces.front().packedLength == 0 &&
                            pieces.front().patchLength == 0);
}

// The next attempt's pieces, or false when none is left: the plan without its patch, each partner
// in turn, then the whole file from the website unless that was just tried.
bool NextAttempt(const FilePlan& plan, FileState& file) {
  const size_t next = file.attempt + 1;
  const size_t patched = plan.withoutPatch.pieces.empty() ? 0 : 1;
  if (next <= patched) {
    file.disks = plan.withoutPatch.disks;
    file.pieces = plan.withoutPatch.pieces;
  } else if (next - patched <= plan.partners.size()) {
    file.disks = {plan.partners[next - patched - 1]};
    file.pieces = {{0, plan.size, 0, 0}};
  } else {
    const bool tried = plan.partners.empty() &&
                       WholeRaw(patched ? plan.withoutPatch.pieces : plan.pieces, plan.size);
    if (next > patched + plan.partners.size() + 1 || tried) return false;
    file.disks.clear();
    file.pieces = WholeFromWebsite(plan.size);
  }
  file.attempt = next;
  return true;
}

// Queues the tasks of the file's attempt: one per website piece, and a first one that opens the
// file and copies its first pieces when they come from the disk. Called with no lock held.
void Queue(Shared& shared, size_t index, size_t attempt, const std::vector<Piece>& pieces) {
  const std::lock_guard<std::mutex> hold(shared.lock);
  if (pieces.empty() || pieces.front().disk != kFromWebsite) {
    shared.tasks.push_back({index, attempt, kStartTask});
  }
  for (size_t i = 0; i < pieces.size(); ++i) {
    if (pieces[i].disk == kFromWebsite) shared.tasks.push_back({index, attempt, i});
  }
}

void ResetAttempt(FileState& file) {
  file.states.clear();
  file.states.resize(file.pieces.size());
  file.readers.clear();
  file.readers.resize(file.disks.size());
  file.opened = false;
  file.linked = false;
  file.out = nullptr;
  file.hashed = 0;
  file.trouble = Trouble::None;
  file.error.clear();
  file.settled = false;
}

// Ends the file's attempt once nothing of it runs: placed, left for the next run, removed, or
// tried again another way.
void Settle(Shared& shared, size_t index) {
  FileState& file = *shared.files[index];
  const FilePlan& plan = shared.plans[index];
  std::unique_lock<std::mutex> hold(file.lock);
  if (file.settled || file.advancing || file.running > 0 || !file.opened) return;
  const bool stopped = Stopped(shared, index);
  const bool complete = file.trouble == Trouble::None && file.hashed == file.pieces.size();
  if (!complete && !stopped && file.trouble == Trouble::None) return;
  file.settled = true;
  DropHeld(shared, file);
  file.readers.clear();
  std::FILE* out = file.out;
  file.out = nullptr;
  const bool leave = !complete && (stopped || file.trouble == Trouble::NotFetched);
  // Whatever stood in the way of opening the file stays.
  const bool wasOpen = out != nullptr || file.linked;
  bool closed = wasOpen;
  if (leave && out != nullptr && !plan.leavesPieces) {
    // Only the bytes that run together from the start stay, so no file of the full size holds
    // holes. A stop by the system may still leave some, within the slack the next run gives back.
    closed = TruncateOpenFile(out, WrittenFromStart(file, plan.destination));
  }
  if (out != nullptr) closed = CloseStagedFile(out) && closed;
  if (stopped && !complete) return;
  if (file.trouble == Trouble::NotWritten || !closed) {
    hold.unlock();
    if (wasOpen) RemovePathTree(plan.destination);
    Record(shared, index, FileOutcome::NotWritten, {});
    return;
  }
  if (file.trouble == Trouble::NotFetched) {
    const std::string error = file.error;
    hold.unlock();
    Record(shared, index, FileOutcome::NotFetched, error);
    return;
  }
  if (complete && FinishSha256Hex(*file.hasher) == plan.sha256) {
    hold.unlock();
    Record(shared, index, FileOutcome::Done, {});
    return;
  }
  if (!NextAttempt(plan, file)) {
    hold.unlock();
    RemovePathTree(plan.destination);
    Record(shared, index, FileOutcome::Wrong, {});
    return;
  }
  ResetAttempt(file);
  const size_t attempt = file.attempt;
  const std::vector<Piece> pieces = file.pieces;
  hold.unlock();
  Queue(shared, index, attempt, pieces);
}

void Count(Shared& shared, FileState& file, const FilePlan& plan, size_t size) {
  const uint64_t before = file.received;
  file.received += size;
  const uint64_t credit =
      std::min(file.received, plan.fetchBytes) - std::min(before, plan.fetchBytes);
  if (credit != 0) shared.counted += credit;
}

// Whether the task belongs to an attempt that is over or a file that stopped.
bool Stale(const Shared& shared, const FileState& file, const Task& task) {
  return task.attempt != file.attempt || file.settled || file.trouble != Trouble::None ||
         Stopped(shared, task.file);
}

// The request for a website piece: a range of the raw file or of its packed object, or the
// whole patch.
HttpRequest PieceRequest(const FilePlan& plan, const Piece& piece) {
  HttpRequest request;
  if (piece.patchLength != 0) {
    request.url = plan.patchUrl;
    request.maxBytes = piece.patchLength;
    request.expectedSize = piece.patchLength;
    return request;
  }
  const bool packed = piece.packedLength != 0;
  const uint64_t length = packed ? piece.packedLength : piece.length;
  request.url = packed ? plan.packedUrl : plan.url;
  request.maxBytes = length;
  request.expectedSize = length;
  // A piece of the whole file is the whole packed object too.
  if (piece.offset != 0 || piece.length != plan.size) {
    request.rangeStart = packed ? piece.packedOffset : piece.offset;
    request.rangeLength = length;
  }
  return request;
}

// The kept file a patch applies to, read at the offsets the patch asks for.
struct PatchBase {
  UniqueStream stream;
  uint64_t size = 0;
  uint64_t position = kUnknownPosition;
};

bool OpenPatchBase(const fs::path& path, PatchBase& base) {
  int error = 0;
  base.stream.reset(OpenFileForReading(path, error));
  return base.stream && OpenFileSize(base.stream.get(), base.size);
}

bool ReadPatchBase(PatchBase& base, uint64_t offset, char* buffer, size_t size) {
  if (base.position != offset && !SeekOpenFile(base.stream.get(), offset)) return false;
  base.position = kUnknownPosition;
  if (std::fread(buffer, 1, size, base.stream.get()) != size) return false;
  base.position = offset + size;
  return true;
}

// The most bytes a patch's output waits to be placed.
constexpr size_t kHandoffBytes = size_t{2} << 20;

// Places bytes on a thread of its own while the caller makes more, so that applying a patch
// overlaps writing and hashing the file it makes. Without a thread, it places them itself.
class Handoff {
 public:
  explicit Handoff(const InflatedSink& place) : place_(place) {
    try {
      thread_ = std::thread([this] { Drain(); });
    } catch (const std::system_error&) {
    }
  }
  ~Handoff() { Join(); }
  Handoff(const Handoff&) = delete;
  Handoff& operator=(const Handoff&) = delete;

  // False once placing refused.
  bool Give(const char* data, size_t size) {
    if (!thread_.joinable()) return place_(data, size);
    std::unique_lock<std::mutex> hold(lock_);
    changed_.wait(hold, [&] { return refused_ || queued_ < kHandoffBytes; });
    if (refused_) return false;
    std::string block;
    if (!spare_.empty()) {
      block = std::move(spare_.back());
      spare_.pop_back();
    }
    block.assign(data, size);
    blocks_.push_back(std::move(block));
    queued_ += size;
    changed_.notify_all();
    return true;
  }

  // Waits until everything given is placed; false when placing refused. What placing threw is
  // thrown here.
  bool Finish() {
    Join();
    if (thrown_) std::rethrow_exception(std::exchange(thrown_, nullptr));
    return !refused_;
  }

 private:
  void Join() {
    if (!thread_.joinable()) return;
    {
      const std::lock_guard<std::mutex> hold(lock_);
      ended_ = true;
    }
    changed_.notify_all();
    thread_.join();
  }

  void Drain() {
    std::unique_lock<std::mutex> hold(lock_);
    for (;;) {
      changed_.wait(hold, [&] { return !blocks_.empty() || ended_; });
      if (blocks_.empty()) return;
      std::string block = std::move(blocks_.front());
      blocks_.pop_front();
      const bool skip = refused_;
      hold.unlock();
      bool placed = false;
      try {
        placed = !skip && place_(block.data(), block.size());
      } catch (...) {
        thrown_ = std::current_exception();
      }
      hold.lock();
      queued_ -= block.size();
      refused_ = refused_ || !placed;
      spare_.push_back(std::move(block));
      changed_.notify_all();
    }
  }

  const InflatedSink& place_;
  std::mutex lock_;
  std::condition_variable changed_;
  std::deque<std::string> blocks_;
  std::vector<std::string> spare_;
  size_t queued_ = 0;
  bool ended_ = false;
  bool refused_ = false;
  std::exception_ptr thrown_;
  std::thread thread_;  // last: started once everything it uses is
};

// Fetches a website piece into its place, hashed on arrival once the hashing has reached it. A
// packed piece is inflated as it arrives, and a patch is inflated and applied to its base as it
// arrives; the bytes they give go the same way as raw bytes.
void FetchPiece(Shared& shared, const Task& task, HttpSession& session) {
  FileState& file = *shared.files[task.file];
  const FilePlan& plan = shared.plans[task.file];
  Piece piece;
  {
    const std::lock_guard<std::mutex> hold(file.lock);
    if (Stale(shared, file, task)) return;
    EnsureOpen(shared, file, plan);
    if (file.trouble != Trouble::None) return;
    piece = file.pieces[task.piece];
  }
  std::atomic<bool> refused{false};
  const InflatedSink place = [&](const char* data, size_t size) {
    std::unique_lock<std::mutex> hold(file.lock);
    for (;;) {
      const uint64_t seen = RoomChanges(shared);
      if (Stale(shared, file, task)) {
        refused = true;
        return false;
      }
      PieceState& state = file.states[task.piece];
      if (size > piece.length - state.received) {
        file.trouble = Trouble::Again;
        refused = true;
        return false;
      }
      if (state.direct || TryHold(shared, size)) break;
      // The bytes ahead of the hashing fill their share of memory: wait for it to catch up.
      hold.unlock();
      WaitForRoom(shared, seen);
      hold.lock();
    }
    PieceState& state = file.states[task.piece];
    const bool direct = state.direct;
    if (!Write(file, piece.offset + state.received, data, size)) {
      if (!direct) Release(shared, size);
      file.trouble = Trouble::NotWritten;
      refused = true;
      return false;
    }
    if (!direct) {
      Keep(shared, state.held, data, size);
      state.heldBytes += size;
    }
    state.received += size;
    hold.unlock();
    // Outside the lock, so the file's other pieces are written meanwhile: nothing else hashes
    // this file until this piece has arrived.
    if (direct) UpdateSha256(*file.hasher, data, size);
    return true;
  };
  std::optional<PackedReader> packed;
  if (piece.packedLength != 0 || piece.patchLength != 0) packed = StartPackedReader();
  PatchBase base;
  std::optional<PatchState> patch;
  if (piece.patchLength != 0) {
    if (!OpenPatchBase(plan.patchBase, base)) {
      const std::lock_guard<std::mutex> hold(file.lock);
      if (!Stale(shared, file, task)) file.trouble = Trouble::Again;
      return;
    }
    patch = StartPatch(base.size);
  }
  const OldFileReader old = [&](uint64_t offset, char* buffer, size_t size) {
    return ReadPatchBase(base, offset, buffer, size);
  };
  std::optional<Handoff> handoff;
  if (patch) handoff.emplace(place);
  const PatchOutput output = [&](const char* data, size_t size) {
    return handoff->Give(data, size);
  };
  const InflatedSink inflated = [&](const char* data, size_t size) {
    return patch ? ApplyPatchBytes(*patch, data, size, old, output) : place(data, size);
  };
  const BodySink sink = [&](const char* data, size_t size) {
    if (!(packed ? ReadPacked(*packed, data, size, inflated) : place(data, size))) {
      if (!refused) {
        // Not zlib streams: the packed object is not what its name promises.
        const std::lock_guard<std::mutex> hold(file.lock);
        if (file.trouble == Trouble::None) file.trouble = Trouble::Again;
        refused = true;
      }
      return false;
    }
    {
      const std::lock_guard<std::mutex> hold(file.lock);
      Count(shared, file, plan, size);
    }
    if (shared.progressHere != nullptr) (*shared.progressHere)(shared.counted);
    return true;
  };
  std::string error;
  bool responded = false;
  const FetchStatus status =
      shared.fetch(session, PieceRequest(plan, piece), sink, error, responded);
  if (handoff) handoff->Finish();
  const std::lock_guard<std::mutex> hold(file.lock);
  if (Stale(shared, file, task) || refused) return;
  PieceState& state = file.states[task.piece];
  if (status == FetchStatus::Done && state.received == piece.length &&
      (!packed || PackedReaderAtEnd(*packed)) && (!patch || PatchComplete(*patch))) {
    state.arrived = true;
  } else if (status == FetchStatus::Failed && !(packed && responded)) {
    file.trouble = Trouble::NotFetched;
    file.error = error;
  } else {
    // Cut short without an error, more than was asked for, or not the part asked for: a website
    // that answers ranges badly gets one plain download of the file. So does a packed object the
    // website does not have, or that inflates to anything but the piece; a patch likewise gives
    // way to the file's plan without it.
    file.trouble = Trouble::Again;
  }
}

// The next task a worker may take: the first untaken one, but never a piece more of a file that
// already has its pieces at once running. Pieces of a file are taken in order, so the bytes held
// ahead of its hashing stay few.
bool Take(Shared& shared, Task& taken) {
  const std::lock_guard<std::mutex> hold(shared.lock);
  while (shared.firstUntaken < shared.tasks.size() &&
         shared.tasks[shared.firstUntaken].file == kNoTask) {
    ++shared.firstUntaken;
  }
  for (size_t i = shared.firstUntaken; i < shared.tasks.size(); ++i) {
    Task& task = shared.tasks[i];
    if (task.file == kNoTask) continue;
    FileState& file = *shared.files[task.file];
    if (task.piece != kStartTask) {
      if (file.running >= std::max<size_t>(shared.settings.piecesAtOnce, 1) &&
          !Stopped(shared, task.file)) {
        continue;
      }
      ++file.running;
    }
    taken = task;
    task.file = kNoTask;
    return true;
  }
  return false;
}

void Run(Shared& shared, const Task& task, HttpSession& session) {
  FileState& file = *shared.files[task.file];
  {
    const std::lock_guard<std::mutex> hold(file.lock);
    if (!Stale(shared, file, task)) EnsureOpen(shared, file, shared.plans[task.file]);
  }
  // Whichever task comes first brings the hashing up to the first piece still to arrive, so a
  // piece that is first is hashed as it arrives rather than held.
  Advance(shared, task.file);
  if (task.piece != kStartTask) {
    FetchPiece(shared, task, session);
    --file.running;
    Advance(shared, task.file);
  }
  Settle(shared, task.file);
}

void Work(Shared& shared, HttpSession& session) {
  for (Task task; Take(shared, task);) {
    try {
      Run(shared, task, session);
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

}  // namespace

TransferResult RunPlans(const HttpFetcher& fetch, HttpSession& session,
                        const std::vector<FilePlan>& plans, const TransferProgress& progress,
                        const std::function<void()>& waiting, const DownloadSettings& settings,
                        const FileSharer& share) {
  Shared shared(fetch, plans, settings, share);
  size_t websitePieces = 0;
  for (size_t i = 0; i < plans.size(); ++i) {
    FileState& file = *shared.files[i];
    file.pieces = plans[i].pieces;
    file.disks = plans[i].disks;
    ResetAttempt(file);
    Queue(shared, i, 0, file.pieces);
    websitePieces += static_cast<size_t>(
        std::count_if(file.pieces.begin(), file.pieces.end(),
                      [](const Piece& piece) { return piece.disk == kFromWebsite; }));
  }

  const size_t wanted = std::min(std::max<size_t>(settings.workers, 1), websitePieces);
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
      // Little to fetch, or no thread could start: this thread does the work over the caller's
      // session.
      shared.progressHere = &progress;
      Work(shared, session);
      shared.progressHere = nullptr;
    }
  }
  if (shared.thrown) std::rethrow_exception(shared.thrown);

  TransferResult result;
  result.counted = shared.counted;
  progress(result.counted);
  result.failed = plans.size();
  for (size_t i = 0; i < plans.size(); ++i) {
    if (shared.outcomes[i] == FileOutcome::Done) continue;
    result.failed = i;
    result.outcome = shared.outcomes[i];
    result.fetchError = shared.errors[i];
    break;
  }
  return result;
}
