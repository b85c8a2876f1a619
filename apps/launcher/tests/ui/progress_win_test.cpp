// The progress window and the Job thread, seen from outside as a user would see them.
#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "robot.h"

namespace {

const std::filesystem::path& HostProgram() {
  static const std::filesystem::path path = OwnFolder() / "tools" / "progress_host.exe";
  return path;
}

constexpr DWORD kBackground = 0x181A1E;  // (24, 26, 30)
constexpr DWORD kTrack = 0x32363C;       // (50, 54, 60)
constexpr DWORD kFill = 0x50C86E;        // (80, 200, 110)

struct BarCase {
  const wchar_t* fraction;
  int expectedFill;
};

class ProgressBar : public testing::TestWithParam<BarCase> {};

TEST_P(ProgressBar, FillsItsShareOfTheTrack) {
  const BarCase& c = GetParam();
  HANDLE release = CreateEventW(nullptr, TRUE, FALSE, L"KelvadonTestRelease");
  ResetEvent(release);
  StartedProcess host;
  ASSERT_TRUE(
      StartTestProcess(HostProgram(), {L"show", c.fraction, L"Checking for updates..."}, host));
  HWND window = WaitForWindow(host.id, L"KelvadonLauncher", 20000);
  ASSERT_NE(window, nullptr);
  Sleep(700);  // let the report's repaint reach the screen

  const RECT client = ClientRectOnScreen(window);
  EXPECT_EQ(client.right - client.left, 440);
  EXPECT_EQ(client.bottom - client.top, 150);
  const std::vector<uint32_t> pixels = CaptureScreen(client);
  ASSERT_EQ(pixels.size(), 440u * 150u);
  const auto at = [&](int x, int y) {
    return pixels[static_cast<size_t>(y) * 440 + static_cast<size_t>(x)];
  };

  EXPECT_EQ(at(5, 5), kBackground);
  EXPECT_EQ(at(434, 140), kBackground);
  int fill = 0;
  int track = 0;
  for (int x = 0; x < 440; ++x) {
    if (at(x, 90) == kFill) ++fill;
    if (at(x, 90) == kTrack) ++track;
  }
  EXPECT_EQ(fill, c.expectedFill);
  EXPECT_EQ(fill + track, 392);
  if (c.expectedFill > 0) {
    EXPECT_EQ(at(24, 90), kFill);
  }
  EXPECT_EQ(at(23, 90), kBackground);
  EXPECT_EQ(at(24, 81), kBackground);
  EXPECT_EQ(at(24, 98), kBackground);
  // The status text is drawn in light grey somewhere in its line.
  int textPixels = 0;
  for (int y = 28; y < 70; ++y) {
    for (int x = 24; x < 416; ++x) {
      if (at(x, y) != kBackground) ++textPixels;
    }
  }
  EXPECT_GT(textPixels, 50);

  if (std::wstring(c.fraction) == L"0.5") {
    const std::filesystem::path snapshot = OwnFolder() / "progress_window.png";
    EXPECT_TRUE(WritePng(snapshot, 440, 150, pixels)) << snapshot;
  }

  SetEvent(release);
  DWORD exitCode = 99;
  ASSERT_TRUE(WaitForExit(host, 20000, exitCode));
  EXPECT_EQ(exitCode, 0u);
  EXPECT_FALSE(IsWindow(window)) << "the window closes when the Job returns";
  CloseHandle(release);
}

INSTANTIATE_TEST_SUITE_P(Fractions, ProgressBar,
                         testing::Values(BarCase{L"0.5", 196}, BarCase{L"1.7", 392},
                                         BarCase{L"-1", 0}, BarCase{L"nan", 0}, BarCase{L"0", 0}));

TEST(ProgressWindow, ClosingItEarlyEndsTheRunWithExitCodeOne) {
  StartedProcess host;
  ASSERT_TRUE(StartTestProcess(HostProgram(), {L"sleep"}, host));
  HWND window = WaitForWindow(host.id, L"KelvadonLauncher", 20000);
  ASSERT_NE(window, nullptr);
  wchar_t title[32] = {};
  GetWindowTextW(window, title, 32);
  EXPECT_STREQ(title, L"Kelvadon");
  const LONG style = GetWindowLongW(window, GWL_STYLE);
  EXPECT_EQ(style & WS_THICKFRAME, 0) << "not resizable";
  EXPECT_EQ(style & WS_MAXIMIZEBOX, 0);
  EXPECT_NE(style & WS_MINIMIZEBOX, 0);
  PostMessageW(window, WM_CLOSE, 0, 0);
  DWORD exitCode = 99;
  ASSERT_TRUE(WaitForExit(host, 20000, exitCode)) << "the Job's minute of sleep was not waited for";
  EXPECT_EQ(exitCode, 1u);
}

TEST(ProgressWindow, JobResultBecomesTheExitCode) {
  StartedProcess host;
  ASSERT_TRUE(StartTestProcess(HostProgram(), {L"return", L"7"}, host));
  DWORD exitCode = 99;
  ASSERT_TRUE(WaitForExit(host, 20000, exitCode));
  EXPECT_EQ(exitCode, 7u);
}

TEST(ProgressWindow, JobThatThrowsEndsInTheWarningAndExitCodeOne) {
  StartedProcess host;
  ASSERT_TRUE(StartTestProcess(HostProgram(), {L"throw"}, host));
  DialogSeen seen;
  ASSERT_TRUE(WaitForDialog(host.id, 20000, seen));
  EXPECT_EQ(seen.text, L"Something went wrong inside Kelvadon, so it stopped. Please try again.");
  EXPECT_EQ(seen.icon, DialogIcon::Warning);
  ASSERT_EQ(seen.buttons.size(), 1u);
  EXPECT_EQ(seen.buttons[0].id, IDOK);
  ASSERT_TRUE(PressButton(seen, IDOK));
  DWORD exitCode = 99;
  ASSERT_TRUE(WaitForExit(host, 20000, exitCode));
  EXPECT_EQ(exitCode, 1u);
}

TEST(ProgressWindow, TextThatIsNotUtf8IsShownWithReplacementCharacters) {
  StartedProcess host;
  ASSERT_TRUE(StartTestProcess(HostProgram(), {L"badtext"}, host));
  DialogSeen seen;
  ASSERT_TRUE(WaitForDialog(host.id, 20000, seen));
  EXPECT_EQ(seen.text, L"Bad \uFFFD text");
  EXPECT_EQ(seen.icon, DialogIcon::Warning);
  ASSERT_TRUE(PressButton(seen, IDOK));
  DWORD exitCode = 99;
  ASSERT_TRUE(WaitForExit(host, 20000, exitCode));
  EXPECT_EQ(exitCode, 3u);
}

}  // namespace
