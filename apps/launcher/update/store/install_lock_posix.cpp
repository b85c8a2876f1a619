#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>

#include "files/disk.h"
#include "update/store/install_lock.h"

// An flock on the InstallRoot folder itself, so no file of its own is left behind. The kernel
// drops it when the descriptor is closed or the process dies; close-on-exec keeps a started
// player from holding it.
InstallRootLock::InstallRootLock(const std::filesystem::path& root,
                                 const std::function<void()>& whileWaiting) {
  CreateFolderChain(root);
  const int fd = open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  int attempt = LOCK_EX | LOCK_NB;
  while (flock(fd, attempt) != 0) {
    if (errno == EWOULDBLOCK && attempt != LOCK_EX) {
      if (whileWaiting) whileWaiting();
      attempt = LOCK_EX;
      continue;
    }
    if (errno != EINTR) {
      close(fd);
      return;
    }
  }
  handle_ = fd;
}

InstallRootLock::~InstallRootLock() {
  if (handle_ >= 0) close(static_cast<int>(handle_));
}
