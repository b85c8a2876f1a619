#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>

// The status line of a launcher that waits for another one to finish with the InstallRoot.
inline constexpr char kWaitingForLockStatus[] =
    "Waiting for the other Kelvadon window to finish...";

// Keeps launchers that run at the same time (a double click on Play) from working on one
// InstallRoot together: without it the second run's removal of the staging folder deletes files
// the first run already wrote, and the first then marks an incomplete version complete.
// The constructor waits until no other process holds the lock for this InstallRoot (creating the
// folder if needed); the destructor releases it, and so does the end of the process, however it
// ends. When another process holds the lock, whileWaiting (when given) is called once before the
// wait. The wait has no time limit: it ends when the other run ends, however it ends, so two
// runs never write at once. When the system cannot provide the lock, the work goes on without it.
// Hold it only around work on the disk, never while a message box is open.
class InstallRootLock {
 public:
  explicit InstallRootLock(const std::filesystem::path& root,
                           const std::function<void()>& whileWaiting = {});
  ~InstallRootLock();
  InstallRootLock(const InstallRootLock&) = delete;
  InstallRootLock& operator=(const InstallRootLock&) = delete;

 private:
  std::intptr_t handle_ = -1;
};
