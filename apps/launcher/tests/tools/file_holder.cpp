// Another program for the tests of patience and of the InstallRoot lock. Named events, all made
// by the test before it starts this, mark each step: <prefix>-held once the file or the lock is
// held, <prefix>-waiting when the lock is busy and this waits for it; <prefix>-release, set by
// the test, lets go.
//   file_holder hold <file> <prefix>           holds the file open, sharing it for reading only
//   file_holder lock <root> <prefix> [<file>]  holds the InstallRoot lock, and writes the file
//                                              when told to let go, before letting go
#include <windows.h>

#include <string>

#include "common/windows_handles.h"
#include "files/file_io.h"
#include "update/store/install_lock.h"

namespace {

void Signal(const std::wstring& name) {
  const UniqueKernelObject event(OpenEventW(EVENT_MODIFY_STATE, FALSE, name.c_str()));
  if (event) SetEvent(event.Get());
}

void AwaitRelease(const std::wstring& prefix) {
  const UniqueKernelObject event(OpenEventW(SYNCHRONIZE, FALSE, (prefix + L"-release").c_str()));
  if (event) WaitForSingleObject(event.Get(), INFINITE);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc < 4) return 2;
  const std::wstring mode = argv[1];
  const std::filesystem::path path = argv[2];
  const std::wstring prefix = argv[3];
  if (mode == L"hold") {
    // No FILE_SHARE_DELETE or FILE_SHARE_WRITE: what a scanner or a running program does.
    const UniqueFile file(CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ,
                                      nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return 3;
    Signal(prefix + L"-held");
    AwaitRelease(prefix);
    return 0;
  }
  if (mode == L"lock") {
    const InstallRootLock lock(path, [&] { Signal(prefix + L"-waiting"); });
    Signal(prefix + L"-held");
    AwaitRelease(prefix);
    if (argc > 4) WriteWholeFile(argv[4], "written while the lock was held\n");
    return 0;
  }
  return 2;
}
