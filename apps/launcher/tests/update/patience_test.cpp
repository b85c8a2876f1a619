#include "files/patience.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <string>
#include <vector>

#include "common/system.h"
#include "files/disk.h"

namespace {

using std::chrono::milliseconds;

#ifdef _WIN32
constexpr int kSharingViolation = 32;  // ERROR_SHARING_VIOLATION
constexpr int kLockViolation = 33;     // ERROR_LOCK_VIOLATION
constexpr int kAccessDenied = 5;       // ERROR_ACCESS_DENIED
constexpr int kBusy = kSharingViolation;
constexpr int kMissing = 2;  // ERROR_FILE_NOT_FOUND
constexpr int kDiskFull = 112;
#else
constexpr int kBusy = EBUSY;
constexpr int kMissing = ENOENT;
constexpr int kDiskFull = ENOSPC;
#endif

TEST(RetryDelay, GrowsToOneSecondAndAddsUpToAboutFifteen) {
  const std::vector<long long> expected = {25, 50, 100, 200, 400, 800, 1000, 1000};
  for (size_t i = 0; i < expected.size(); ++i) {
    EXPECT_EQ(RetryDelay(static_cast<int>(i) + 1).count(), expected[i]) << i + 1;
  }
  EXPECT_EQ(RetryDelay(1000).count(), 1000);
  EXPECT_EQ(PatienceScope::CurrentLimit().count(), 15000);
}

TEST(BusyErrors, OnlyWhatAnotherProgramCauses) {
  struct Case {
    int error;
    bool busy;
  };
  const Case cases[] = {
#ifdef _WIN32
      {kSharingViolation, true},
      {kLockViolation, true},
      {kAccessDenied, true},
#else
      {EBUSY, true}, {ETXTBSY, true},   {EACCES, false},    {EPERM, false},
#endif
      {0, false},
      {kMissing, false},
      {kDiskFull, false},
      {-1, false},
  };
  for (const Case& c : cases) EXPECT_EQ(IsBusyError(c.error), c.busy) << c.error;
}

// Each attempt gives the next result of the script; the step ends at the first that waiting
// cannot mend, and the notice comes once, at the start of a wait.
TEST(Patience, RetriesOnlyWhileBusy) {
  struct Case {
    const char* name;
    std::vector<int> script;
    int result;
    size_t attempts;
    int notices;
  };
  const Case cases[] = {
      {"at once", {0}, 0, 1, 0},
      {"busy twice", {kBusy, kBusy, 0}, 0, 3, 1},
      {"busy then another failure", {kBusy, kDiskFull}, kDiskFull, 2, 1},
      {"a failure no wait mends", {kMissing, 0}, kMissing, 1, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    int notices = 0;
    const PatienceScope scope(kPatienceLimit, [&] { ++notices; });
    size_t attempts = 0;
    const int result = Patiently([&] { return c.script[attempts++]; });
    EXPECT_EQ(result, c.result);
    EXPECT_EQ(attempts, c.attempts);
    EXPECT_EQ(notices, c.notices);
  }
}

TEST(Patience, GivesUpAtTheLimitWithTheLastError) {
  int notices = 0;
  int attempts = 0;
  {
    const PatienceScope scope(milliseconds(0), [&] { ++notices; });
    EXPECT_EQ(Patiently([&] {
                ++attempts;
                return kBusy;
              }),
              kBusy);
    EXPECT_EQ(attempts, 1);
    EXPECT_EQ(notices, 0);  // nothing was waited for
  }
  const PatienceScope scope(milliseconds(200), [&] { ++notices; });
  attempts = 0;
  EXPECT_EQ(Patiently([&] {
              ++attempts;
              return kBusy;
            }),
            kBusy);
  EXPECT_GE(attempts, 2);
  EXPECT_EQ(notices, 1);
}

TEST(Patience, ScopesNestAndEndWithTheirScope) {
  std::vector<std::string> seen;
  const auto busyOnce = [] {
    int calls = 0;
    return Patiently([&] { return calls++ == 0 ? kBusy : 0; });
  };
  EXPECT_EQ(busyOnce(), 0);  // no notice at all: nothing to call
  {
    const PatienceScope outer(kPatienceLimit, [&] { seen.push_back("outer"); });
    {
      const PatienceScope inner(kPatienceLimit, [&] { seen.push_back("inner"); });
      busyOnce();
    }
    busyOnce();
  }
  busyOnce();
  EXPECT_EQ(seen, (std::vector<std::string>{"inner", "outer"}));
}

TEST(SystemErrorText, IsOneLineOfTheSystemsWords) {
  for (const int error : {kMissing, kBusy, kDiskFull}) {
    const std::string text = SystemErrorText(error);
    EXPECT_FALSE(text.empty()) << error;
    EXPECT_EQ(text.find_first_of("\r\n"), std::string::npos) << text;
    EXPECT_NE(text.back(), ' ') << text;
  }
  EXPECT_NE(SystemErrorText(kMissing), SystemErrorText(kBusy));
}

TEST(FileSystemPath, TheLongFormOnWindowsAndThePathItselfOnLinux) {
  struct Case {
    std::filesystem::path given;
    std::filesystem::path expected;
  };
#ifdef _WIN32
  const Case cases[] = {
      {L"C:\\Users\\a\\Kelvadon\\x.dll", L"\\\\?\\C:\\Users\\a\\Kelvadon\\x.dll"},
      {L"C:/Users/a/./Kelvadon/../Kelvadon/x.dll", L"\\\\?\\C:\\Users\\a\\Kelvadon\\x.dll"},
      {L"\\\\server\\share\\Kelvadon", L"\\\\?\\UNC\\server\\share\\Kelvadon"},
      {L"\\\\?\\C:\\already\\long", L"\\\\?\\C:\\already\\long"},
      {L"", L""},
  };
#else
  const Case cases[] = {
      {"/home/a/.local/share/Kelvadon/x.dll", "/home/a/.local/share/Kelvadon/x.dll"},
      {"relative/x.dll", "relative/x.dll"},
      {"", ""},
  };
#endif
  for (const Case& c : cases) EXPECT_EQ(FileSystemPath(c.given), c.expected) << c.given;
}

}  // namespace
