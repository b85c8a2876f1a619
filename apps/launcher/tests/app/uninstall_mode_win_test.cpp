// The uninstall question and its two answers, run through the real launcher.
#include <gtest/gtest.h>

#include <fstream>
#include <string>

#include "common/text.h"
#include "robot.h"

namespace {

namespace fs = std::filesystem;

const fs::path& LauncherProgram() {
  static const fs::path path = OwnFolder().parent_path() / "KelvadonLauncher.exe";
  return path;
}

void PutFile(const fs::path& path, const std::string& text) {
  fs::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary) << text;
}

class UninstallMode : public testing::Test {
 protected:
  void SetUp() override {
    // A user folder with accented letters must reach the question intact.
    root_ = fs::temp_directory_path() /
            (L"Zo\u00eb \u00c5str\u00f6m " + std::to_wstring(GetCurrentProcessId())) / L"Kelvadon";
    fs::remove_all(root_.parent_path());
    PutFile(root_ / "Versions" / "1.0" / "kelvadon-installed.txt", "marker");
    PutFile(root_ / "Versions" / "1.0" / "kelvadon_player.exe", "player");
    PutFile(root_ / "current.txt", "1.0\n");
    PutFile(root_ / "website.txt", "https://example.test\n");
    PutFile(root_ / "sequence.txt", "12\n");
    PutFile(root_ / "saves" / "mine.txt", "keep me");
  }
  void TearDown() override {
    std::error_code ec;
    fs::remove_all(root_.parent_path(), ec);
  }

  void StartUninstall(StartedProcess& launcher, DialogSeen& question) {
    // An argument that is not valid UTF-16 (a lone surrogate) is skipped, not fatal.
    const std::wstring loneSurrogate(1, static_cast<wchar_t>(0xD800));
    ASSERT_TRUE(StartTestProcess(
        LauncherProgram(), {loneSurrogate, L"--uninstall", L"--home", root_.wstring()}, launcher));
    ASSERT_TRUE(WaitForDialog(launcher.id, 30000, question));
  }

  fs::path root_;
};

TEST_F(UninstallMode, AsksWithTheInstallFolderSpelledExactly) {
  StartedProcess launcher;
  DialogSeen question;
  StartUninstall(launcher, question);
  const std::wstring expected =
      L"Take Kelvadon off this computer?\n\nYour own places and saves stay in " + root_.wstring() +
      L" (delete that folder too if you don't want them).";
  EXPECT_EQ(question.text, expected);
  EXPECT_EQ(question.icon, DialogIcon::Blue);
  ASSERT_EQ(question.buttons.size(), 2u);
  EXPECT_EQ(question.buttons[0].id, IDYES);
  EXPECT_EQ(question.buttons[1].id, IDNO);

  ASSERT_TRUE(PressButton(question, IDNO));
  DWORD exitCode = 99;
  ASSERT_TRUE(WaitForExit(launcher, 20000, exitCode));
  EXPECT_EQ(exitCode, 0u);
  EXPECT_TRUE(fs::exists(root_ / "Versions" / "1.0" / "kelvadon_player.exe"));
  EXPECT_TRUE(fs::exists(root_ / "current.txt"));
  EXPECT_TRUE(fs::exists(root_ / "website.txt"));
  EXPECT_TRUE(fs::exists(root_ / "sequence.txt"));
}

TEST_F(UninstallMode, YesRemovesTheClientButKeepsTheUsersFiles) {
  StartedProcess launcher;
  DialogSeen question;
  StartUninstall(launcher, question);
  ASSERT_TRUE(PressButton(question, IDYES));

  DialogSeen closing;
  ASSERT_TRUE(WaitForDialog(launcher.id, 30000, closing));
  EXPECT_EQ(closing.text, L"Kelvadon has been taken off this computer.");
  EXPECT_EQ(closing.icon, DialogIcon::Blue) << "information, not a warning";
  ASSERT_EQ(closing.buttons.size(), 1u);
  ASSERT_TRUE(PressButton(closing, IDOK));

  DWORD exitCode = 99;
  ASSERT_TRUE(WaitForExit(launcher, 20000, exitCode));
  EXPECT_EQ(exitCode, 0u);
  EXPECT_FALSE(fs::exists(root_ / "Versions"));
  EXPECT_FALSE(fs::exists(root_ / "current.txt"));
  EXPECT_FALSE(fs::exists(root_ / "website.txt"));
  EXPECT_FALSE(fs::exists(root_ / "sequence.txt"));
  EXPECT_TRUE(fs::exists(root_ / "saves" / "mine.txt"));
}

}  // namespace
