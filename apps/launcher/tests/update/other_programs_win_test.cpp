// Other programs at work on the InstallRoot, under Wine with real processes: file_holder holds a
// file open without FILE_SHARE_DELETE (as a scanner or a running player does), or holds the
// InstallRoot lock (as a launcher in another window does).
#include <windows.h>

#include <gtest/gtest.h>

#include <chrono>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "app/launcher.h"
#include "common/system.h"
#include "common/windows_handles.h"
#include "files/disk.h"
#include "files/file_io.h"
#include "files/patience.h"
#include "robot.h"
#include "tests/update/test_website.h"
#include "tests/update/website_scenario.h"
#include "update/store/install_lock.h"
#include "update/store/install_root.h"
#include "update/store/version_store.h"
#include "website_harness.h"

namespace fs = std::filesystem;

namespace {

const Files kVersion = {{"kelvadon_player.exe", "player"}, {"kelvadon_studio.exe", "studio"}};

// One file_holder process and its three events.
class Holder {
 public:
  Holder() {
    static int count = 0;
    prefix_ = L"kelvadon-holder-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
              std::to_wstring(++count);
    held_.Reset(CreateEventW(nullptr, TRUE, FALSE, (prefix_ + L"-held").c_str()));
    waiting_.Reset(CreateEventW(nullptr, TRUE, FALSE, (prefix_ + L"-waiting").c_str()));
    release_.Reset(CreateEventW(nullptr, TRUE, FALSE, (prefix_ + L"-release").c_str()));
  }
  ~Holder() {
    Release();
    DWORD code = 0;
    if (process_.process != nullptr) WaitForExit(process_, 10000, code);
  }

  // Starts file_holder and waits until it holds what it was asked to (or, for a lock that is
  // busy, until it waits for it).
  bool Start(const std::vector<std::wstring>& args) {
    std::vector<std::wstring> all = args;
    all.insert(all.begin() + 2, prefix_);
    if (!StartTestProcess(OwnFolder() / "tools" / "file_holder.exe", all, process_)) return false;
    const HANDLE events[] = {held_.Get(), waiting_.Get(), process_.process};
    const DWORD which = WaitForMultipleObjects(3, events, FALSE, 20000);
    return which == WAIT_OBJECT_0 || which == WAIT_OBJECT_0 + 1;
  }
  bool Held() const { return WaitForSingleObject(held_.Get(), 0) == WAIT_OBJECT_0; }
  bool AwaitHeld() const { return WaitForSingleObject(held_.Get(), 20000) == WAIT_OBJECT_0; }
  bool Waiting() const { return WaitForSingleObject(waiting_.Get(), 0) == WAIT_OBJECT_0; }
  void Release() { SetEvent(release_.Get()); }
  void Kill() {
    TerminateProcess(process_.process, 9);
    WaitForSingleObject(process_.process, 10000);
  }
  bool AwaitExit() {
    DWORD code = 0;
    return WaitForExit(process_, 20000, code) && code == 0;
  }

 private:
  std::wstring prefix_;
  UniqueKernelObject held_;
  UniqueKernelObject waiting_;
  UniqueKernelObject release_;
  StartedProcess process_;
};

class OtherProgramsTest : public WebsiteScenarioTest {};

// A file of the staging folder held: the update waits, says so, and completes once the other
// program lets go (here as soon as the waiting line shows).
TEST_F(OtherProgramsTest, HeldStagingFileIsWaitedFor) {
  Publish("2.0", kVersion);
  const fs::path held = versions_ / "2.0.partial" / "kelvadon_player.exe";
  fs::create_directories(held.parent_path());
  Holder holder;
  ASSERT_TRUE(holder.Start({L"hold", held.native()}));
  const UpdateResult result = Run({}, [&](const std::string& text) {
    if (text == kWaitingForFilesStatus) holder.Release();
  });
  EXPECT_TRUE(result.ready) << result.error;
  EXPECT_TRUE(Reported(kWaitingForFilesStatus));
  EXPECT_EQ(ReadBytes(versions_ / "2.0" / "kelvadon_player.exe"), "player");
  EXPECT_EQ(CurrentVersionFolder(root_), versions_ / "2.0");
}

// Held for longer than the limit: the update fails with the rename's sentence in Windows' own
// words. The folder of the final name cannot be removed while its file is held, and Windows
// refuses to rename onto a folder.
TEST_F(OtherProgramsTest, HeldPastTheLimitFailsInWindowsWords) {
  environment_.patience = std::chrono::milliseconds(300);
  Publish("2.0", kVersion);
  const fs::path held = versions_ / "2.0" / "leftover.dll";
  fs::create_directories(held.parent_path());
  Holder holder;
  ASSERT_TRUE(holder.Start({L"hold", held.native()}));
  const UpdateResult result = Run();
  EXPECT_FALSE(result.ready);
  EXPECT_EQ(result.error,
            "Couldn't finish installing (" + SystemErrorText(ERROR_ACCESS_DENIED) + ")");
  EXPECT_TRUE(Reported(kWaitingForFilesStatus));
  // Wine's words for it; Windows says "Access is denied."
  EXPECT_TRUE(SystemErrorText(ERROR_ACCESS_DENIED) == "Access denied." ||
              SystemErrorText(ERROR_ACCESS_DENIED) == "Access is denied.")
      << SystemErrorText(ERROR_ACCESS_DENIED);
  EXPECT_TRUE(fs::exists(versions_ / "2.0.partial" / kMarkerFileName));
  EXPECT_EQ(CurrentVersionFolder(root_), fs::path());
}

// A running player of an old version during the clean-up: the update succeeds at once (the
// clean-up does not wait), and a later update removes what was left.
TEST_F(OtherProgramsTest, HeldOldVersionIsRemovedByALaterRun) {
  Publish("1.0", {{"kelvadon_player.exe", "one"}, {"kelvadon_studio.exe", "studio"}});
  ASSERT_TRUE(Run().ready);
  Publish("2.0", {{"kelvadon_player.exe", "two"}, {"kelvadon_studio.exe", "studio"}});
  ASSERT_TRUE(Run().ready);
  Holder holder;
  ASSERT_TRUE(holder.Start({L"hold", (versions_ / "1.0" / "kelvadon_player.exe").native()}));
  Publish("3.0", {{"kelvadon_player.exe", "three"}, {"kelvadon_studio.exe", "studio"}});
  const UpdateResult third = Run();
  EXPECT_TRUE(third.ready) << third.error;
  EXPECT_FALSE(Reported(kWaitingForFilesStatus));
  EXPECT_EQ(EntryKindOf(versions_ / "1.0" / "kelvadon_player.exe"), EntryKind::File);
  EXPECT_EQ(EntryKindOf(versions_ / "1.0" / kMarkerFileName), EntryKind::Missing);
  holder.Release();
  ASSERT_TRUE(holder.AwaitExit());

  Publish("4.0", {{"kelvadon_player.exe", "four"}, {"kelvadon_studio.exe", "studio"}});
  ASSERT_TRUE(Run().ready);
  std::vector<fs::path> names;
  ListFolder(versions_, names);
  EXPECT_EQ(std::set<fs::path>(names.begin(), names.end()), (std::set<fs::path>{"3.0", "4.0"}));
}

// The uninstall while an update holds the lock: it waits, and removes what the update wrote
// while it waited.
TEST_F(OtherProgramsTest, UninstallWaitsForTheUpdatesLock) {
  Publish("1.0", kVersion);
  ASSERT_TRUE(Run().ready);
  Holder holder;
  const fs::path late = versions_ / "1.0" / "written-late.txt";
  ASSERT_TRUE(holder.Start({L"lock", root_.native(), late.native()}));
  ASSERT_TRUE(holder.Held());
  bool waited = false;
  RemoveInstalledFiles(root_, [&] {
    waited = true;
    holder.Release();
  });
  EXPECT_TRUE(waited);
  EXPECT_TRUE(holder.AwaitExit());
  EXPECT_EQ(EntryKindOf(versions_), EntryKind::Missing);
  EXPECT_EQ(EntryKindOf(root_ / "current.txt"), EntryKind::Missing);
}

// A second launcher's update shows that it waits for the first, and goes on when it ends.
TEST_F(OtherProgramsTest, UpdateShowsItWaitsForTheOtherWindow) {
  Publish("1.0", kVersion);
  Holder holder;
  ASSERT_TRUE(holder.Start({L"lock", root_.native()}));
  ASSERT_TRUE(holder.Held());
  const UpdateResult result = Run({}, [&](const std::string& text) {
    if (text == kWaitingForLockStatus) holder.Release();
  });
  EXPECT_TRUE(result.ready) << result.error;
  EXPECT_TRUE(Reported(kWaitingForLockStatus));
}

// The named mutex between two processes, and one whose owner was ended without letting go: the
// next run takes it over, and holds it against a third.
TEST_F(OtherProgramsTest, AbandonedLockIsTakenOver) {
  Holder first;
  ASSERT_TRUE(first.Start({L"lock", root_.native()}));
  ASSERT_TRUE(first.Held());
  first.Kill();
  bool waited = false;
  Holder third;
  {
    const InstallRootLock lock(root_, [&] { waited = true; });
    EXPECT_FALSE(waited);
    ASSERT_TRUE(third.Start({L"lock", root_.native()}));
    EXPECT_TRUE(third.Waiting());
    EXPECT_FALSE(third.Held());
  }
  // The lock ended with the scope; the third then gets it.
  EXPECT_TRUE(third.AwaitHeld());
  third.Release();
  EXPECT_TRUE(third.AwaitExit());
}

}  // namespace
