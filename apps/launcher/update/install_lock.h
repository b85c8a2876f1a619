#pragma once

#include <cstdint>
#include <filesystem>

// Keeps launchers that run at the same time (a double click on Play) from working on one
// InstallRoot together: without it the second run's removal of the staging folder deletes files
// the first run already wrote, and the first then marks an incomplete version complete.
// The constructor waits until no other process holds the lock for this InstallRoot (creating the
// folder if needed); the destructor releases it, and so does the end of the process, however it
// ends. When the system cannot provide the lock, the work goes on without it.
// Hold it only around work on the disk, never while a message box is open.
class InstallRootLock {
 public:
  explicit InstallRootLock(const std::filesystem::path& root);
  ~InstallRootLock();
  InstallRootLock(const InstallRootLock&) = delete;
  InstallRootLock& operator=(const InstallRootLock&) = delete;

 private:
  std::intptr_t handle_ = -1;
};
