// The uninstall through the real launcher, answered by the message-box robot, against the real
// registry, shortcuts and command interpreter of the Wine prefix.
#include "win/uninstall.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>

#include "common/text.h"
#include "registration_test_support.h"
#include "robot.h"
#include "win/registration.h"

namespace {

namespace fs = std::filesystem;
using namespace kelvadon_test;
using Clock = std::chrono::steady_clock;

const fs::path& BuiltLauncher() {
  static const fs::path path = OwnFolder().parent_path() / L"KelvadonLauncher.exe";
  return path;
}
fs::path RecorderProgram() { return OwnFolder() / L"tools" / L"arg_recorder.exe"; }

// Waits until nothing is at the path; the time it took, or a negative time when it stayed.
double SecondsUntilGone(const fs::path& path, double limit) {
  const Clock::time_point start = Clock::now();
  while (fs::exists(path)) {
    if (Clock::now() - start > std::chrono::duration<double>(limit)) return -1.0;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return std::chrono::duration<double>(Clock::now() - start).count();
}

class Uninstall : public testing::Test {
 protected:
  void SetUp() override {
    ClearRegistration();
    RegDeleteTreeW(HKEY_CURRENT_USER, L"Software\\Classes\\.kelvl");
    base_ = fs::temp_directory_path() /
            (L"Kelvadon uninstall " + std::to_wstring(GetCurrentProcessId()));
    root_ = base_ / L"Kelvadon Root";  // spaces, which the delete command must keep intact
    std::error_code ec;
    fs::remove_all(base_, ec);

    // An installation as a first run leaves it, with the launcher run from its installed copy.
    fs::create_directories(root_);
    ASSERT_TRUE(fs::copy_file(BuiltLauncher(), Launcher())) << BuiltLauncher();
    PutFile(root_ / L"KelvadonLauncher.old.exe", "the copy before the last self-update");
    PutFile(root_ / L"Versions" / L"1.5" / L"kelvadon-installed.txt", "marker");
    PutFile(root_ / L"Versions" / L"1.5" / L"kelvadon_studio.exe", "studio");
    PutFile(root_ / L"current.txt", "1.5\r\n");
    PutFile(root_ / L"website.txt", "https://kelvadon.test\r\n");
    PutFile(root_ / L"saves" / L"mine.kelvlvl", "the user's own place");
    RegisterWithWindowsNotifying(root_, Launcher(), "https://kelvadon.test", "1.5", [] {});
    ASSERT_TRUE(fs::exists(DesktopLink()));
    PutFile(StartMenuFolder() / L"notes.txt", "put there by the user");

    // Not the launcher's: an association for the unregistered extension, and a cmd.exe beside
    // the launcher that Windows would find first if the command did not name its own.
    WriteValue(L"Software\\Classes\\.kelvl", nullptr, REG_SZ, TextBytes(L"Other.Level"));
    ASSERT_TRUE(fs::copy_file(RecorderProgram(), root_ / L"cmd.exe")) << RecorderProgram();
  }
  void TearDown() override {
    ClearRegistration();
    RegDeleteTreeW(HKEY_CURRENT_USER, L"Software\\Classes\\.kelvl");
    std::error_code ec;
    for (int attempt = 0; attempt < 50 && fs::exists(base_); ++attempt) {
      fs::remove_all(base_, ec);  // a launcher ended by a failed test may take a moment
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
  }

  fs::path Launcher() const { return root_ / L"KelvadonLauncher.exe"; }
  fs::path OldLauncher() const { return root_ / L"KelvadonLauncher.old.exe"; }

  void StartUninstall(StartedProcess& launcher, DialogSeen& question) {
    ASSERT_TRUE(
        StartTestProcess(Launcher(), {L"--uninstall", L"--home", root_.wstring()}, launcher));
    ASSERT_TRUE(WaitForDialog(launcher.id, 30000, question));
    ASSERT_EQ(question.buttons.size(), 2u);
  }

  fs::path base_;
  fs::path root_;
};

TEST_F(Uninstall, YesTakesAwayExactlyWhatWasRegisteredAndThenTheLauncher) {
  StartedProcess launcher;
  DialogSeen question;
  StartUninstall(launcher, question);
  ASSERT_TRUE(PressButton(question, IDYES));

  DialogSeen closing;
  ASSERT_TRUE(WaitForDialog(launcher.id, 30000, closing));
  EXPECT_EQ(closing.text, L"Kelvadon has been taken off this computer.");
  EXPECT_EQ(closing.icon, DialogIcon::Blue) << "information, not a warning";

  // Everything but the launcher files is gone while the message waits.
  for (const std::wstring& key : kRemovedKeys) EXPECT_FALSE(KeyExists(key)) << WideToUtf8(key);
  EXPECT_EQ(ReadValue(L"Software\\Classes\\.kelvl", nullptr).data, TextBytes(L"Other.Level"));
  EXPECT_TRUE(KeyExists(L"Software\\Classes"));
  EXPECT_FALSE(fs::exists(StartMenuFolder()));
  EXPECT_FALSE(fs::exists(DesktopLink()));
  EXPECT_FALSE(fs::exists(root_ / L"Versions"));
  EXPECT_FALSE(fs::exists(root_ / L"current.txt"));
  EXPECT_FALSE(fs::exists(root_ / L"website.txt"));
  EXPECT_TRUE(fs::exists(root_ / L"saves" / L"mine.kelvlvl"));

  // A user slower than the command's pause keeps nothing: it has not even started yet.
  std::this_thread::sleep_for(std::chrono::seconds(4));
  EXPECT_TRUE(fs::exists(OldLauncher()));
  EXPECT_TRUE(fs::exists(Launcher()));
  ASSERT_TRUE(PressButton(closing, IDOK));
  DWORD exitCode = 99;
  ASSERT_TRUE(WaitForExit(launcher, 20000, exitCode));
  EXPECT_EQ(exitCode, 0u);

  EXPECT_TRUE(fs::exists(Launcher())) << "deleted during the pause";
  const double gone = SecondsUntilGone(Launcher(), 15.0);
  EXPECT_GE(gone, 0.0) << "KelvadonLauncher.exe was never deleted";
  EXPECT_LT(gone, 6.0);
  EXPECT_GE(SecondsUntilGone(OldLauncher(), 5.0), 0.0) << "the second deletion comes next";
  EXPECT_FALSE(fs::exists(root_ / L"arg_recorder.txt")) << "the cmd.exe beside it ran";
  EXPECT_TRUE(fs::exists(root_ / L"saves" / L"mine.kelvlvl"));
}

TEST_F(Uninstall, NoChangesNothing) {
  StartedProcess launcher;
  DialogSeen question;
  StartUninstall(launcher, question);
  ASSERT_TRUE(PressButton(question, IDNO));
  DWORD exitCode = 99;
  ASSERT_TRUE(WaitForExit(launcher, 20000, exitCode));
  EXPECT_EQ(exitCode, 0u);

  // Long enough for a delete command to have done its work.
  std::this_thread::sleep_for(std::chrono::seconds(3));
  for (const std::wstring& key : kRemovedKeys) EXPECT_TRUE(KeyExists(key)) << WideToUtf8(key);
  EXPECT_TRUE(fs::exists(StartMenuFolder() / L"Kelvadon Studio.lnk"));
  EXPECT_TRUE(fs::exists(StartMenuFolder() / L"Kelvadon.url"));
  EXPECT_TRUE(fs::exists(DesktopLink()));
  for (const fs::path& file :
       {Launcher(), OldLauncher(), root_ / L"Versions" / L"1.5" / L"kelvadon-installed.txt",
        root_ / L"current.txt", root_ / L"website.txt"}) {
    EXPECT_TRUE(fs::exists(file)) << file.string();
  }
}

// The command interpreter would expand %NAME% inside the quoted path and delete whatever that
// names; for such a folder the files stay rather than someone else's going.
TEST(ScheduleLauncherDeletion, DeletesBothFilesButNothingForAPathWithAPercentSign) {
  const fs::path base =
      fs::temp_directory_path() / (L"Kelvadon delete " + std::to_wstring(GetCurrentProcessId()));
  std::error_code ec;
  fs::remove_all(base, ec);
  ASSERT_TRUE(SetEnvironmentVariableW(L"KELVADON_TEST_VICTIM", L"victim"));
  const fs::path plain = base / L"plain root";
  const fs::path percent = base / L"%KELVADON_TEST_VICTIM%";
  const fs::path victim = base / L"victim";
  // With delayed expansion on, "!NAME!" would be read as a variable, as %NAME% is.
  const fs::path bang = base / L"bang!KELVADON_TEST_VICTIM!";
  for (const fs::path& folder : {plain, percent, victim, bang}) {
    PutFile(folder / L"KelvadonLauncher.exe", "launcher");
    PutFile(folder / L"KelvadonLauncher.old.exe", "old launcher");
  }

  ScheduleLauncherDeletion(percent);
  ScheduleLauncherDeletion(plain);
  ScheduleLauncherDeletion(bang);
  for (const fs::path& folder : {plain, bang}) {
    EXPECT_GE(SecondsUntilGone(folder / L"KelvadonLauncher.exe", 15.0), 0.0) << folder.string();
    EXPECT_GE(SecondsUntilGone(folder / L"KelvadonLauncher.old.exe", 5.0), 0.0) << folder.string();
  }
  std::this_thread::sleep_for(std::chrono::seconds(1));
  for (const fs::path& folder : {percent, victim}) {
    EXPECT_TRUE(fs::exists(folder / L"KelvadonLauncher.exe")) << folder.string();
    EXPECT_TRUE(fs::exists(folder / L"KelvadonLauncher.old.exe")) << folder.string();
  }
  fs::remove_all(base, ec);
}

}  // namespace
