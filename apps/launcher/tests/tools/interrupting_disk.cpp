#include "tests/tools/interrupting_disk.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>

#include "tests/update/tool_process.h"

// The platform's calls under the other names that real_disk_names.h gives them.
#include "tests/tools/real_disk_names.h"

#include "files/disk.h"

#undef RemoveEntry
#undef RenameEntry
#undef CreateFolderChain
#undef OpenFileForWriting
#undef OpenFileForUpdating
#undef FlushFileToDisk
#undef FlushStagedFileToDisk
#undef FlushStagedFilesToDisk
#undef FlushFolderToDisk
#undef FreeDiskBytes
#undef TruncateOpenFile
#undef ShareFile

namespace fs = std::filesystem;

namespace {

// Steps are taken on the download threads too.
std::atomic<long> gTaken{0};
long gKillBefore = 0;
long gDelayMs = 0;
std::thread::id gPlanningThread;
std::mutex gOtherThreadsLock;
long gFirstOnOtherThread = 0;
long gLastOnOtherThread = 0;

void Step() {
  const long step = ++gTaken;
  if (std::this_thread::get_id() != gPlanningThread) {
    const std::lock_guard<std::mutex> hold(gOtherThreadsLock);
    if (gFirstOnOtherThread == 0) gFirstOnOtherThread = step;
    gLastOnOtherThread = std::max(gLastOnOtherThread, step);
  }
  if (gDelayMs > 0) std::this_thread::sleep_for(std::chrono::milliseconds(gDelayMs));
  if (step == gKillBefore) StopThisProcess();
}

}  // namespace

void StopBeforeDiskStep(long killBefore, long delayMs) {
  gKillBefore = killBefore;
  gDelayMs = delayMs;
  gPlanningThread = std::this_thread::get_id();
}

DiskSteps DiskStepsTaken() {
  const std::lock_guard<std::mutex> hold(gOtherThreadsLock);
  return {gTaken, gFirstOnOtherThread, gLastOnOtherThread};
}

int RemoveEntry(const fs::path& path) {
  Step();
  return RealRemoveEntry(path);
}

int ShareFile(const fs::path& from, const fs::path& to, ShareWay way) {
  Step();
  return RealShareFile(from, to, way);
}

int RenameEntry(const fs::path& from, const fs::path& to) {
  Step();
  return RealRenameEntry(from, to);
}

int CreateFolderChain(const fs::path& folder) {
  Step();
  return RealCreateFolderChain(folder);
}

std::FILE* OpenFileForWriting(const fs::path& path, int& error) {
  Step();
  return RealOpenFileForWriting(path, error);
}

std::FILE* OpenFileForUpdating(const fs::path& path, int& error) {
  Step();
  return RealOpenFileForUpdating(path, error);
}

int FlushFileToDisk(std::FILE* file) {
  Step();
  return RealFlushFileToDisk(file);
}

int FlushStagedFileToDisk(std::FILE* file) {
  Step();
  return RealFlushStagedFileToDisk(file);
}

int FlushStagedFilesToDisk(const fs::path& folder) {
  Step();
  return RealFlushStagedFilesToDisk(folder);
}

int FlushFolderToDisk(const fs::path& folder) {
  Step();
  return RealFlushFolderToDisk(folder);
}

// It changes nothing, but it stands between the kept files placed and the first download begun.
int FreeDiskBytes(const fs::path& folder, uint64_t& bytes) {
  Step();
  return RealFreeDiskBytes(folder, bytes);
}

bool TruncateOpenFile(std::FILE* file, uint64_t size) {
  Step();
  return RealTruncateOpenFile(file, size);
}
