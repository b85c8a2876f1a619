// The installed launcher copy is usually the running process when it updates itself: Windows
// lets a running executable be renamed but not replaced.

#include <windows.h>

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <random>
#include <string>

#include "common/system.h"
#include "files/file_io.h"
#include "update/self_update.h"
#include "update/store/install_root.h"

namespace fs = std::filesystem;

namespace {

std::string Get(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

TEST(RunningLauncherCopy, IsMovedAsideAndReplaced) {
  std::random_device random;
  const fs::path root =
      fs::temp_directory_path() / ("kelvadon-running-copy-test-" + std::to_string(random()));
  fs::create_directories(root);
  const fs::path installed = root / kLauncherFileName;
  const fs::path aside = root / kOldLauncherFileName;
  // Any program will do as the running copy; this test's own is at hand.
  fs::copy_file(OwnExecutablePath(), installed);
  const std::string before = Get(installed);

  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process = {};
  std::wstring commandLine = L"\"" + installed.wstring() + L"\" --gtest_list_tests";
  ASSERT_TRUE(CreateProcessW(installed.c_str(), commandLine.data(), nullptr, nullptr, FALSE,
                             CREATE_SUSPENDED, nullptr, nullptr, &startup, &process));
  const bool replaced = ReplaceFileAtomically(installed, "the new launcher", aside);
  TerminateProcess(process.hProcess, 1);
  WaitForSingleObject(process.hProcess, INFINITE);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);

  EXPECT_TRUE(replaced);
  EXPECT_EQ(Get(installed), "the new launcher");
  // Only the way round the refusal puts the old copy there.
  EXPECT_EQ(Get(aside), before);
  std::error_code ec;
  fs::remove_all(root, ec);
}

}  // namespace
