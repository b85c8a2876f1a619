// The install and update engine and the self-update against the test website (nginx and the fault
// server of website_harness.py) through the real HttpGet, the same cases in both builds. Each test
// publishes into its own scenario folder, so nginx's access log shows exactly its requests.
#include "update/engine.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <fstream>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "app/launcher.h"
#include "common/text.h"
#include "files/disk.h"
#include "files/file_io.h"
#include "tests/update/folder_link.h"
#include "tests/update/release_key_record.h"
#include "tests/update/test_website.h"
#include "tests/update/website_scenario.h"
#include "update/self_update.h"
#include "update/store/install_root.h"
#include "update/store/version_store.h"
#include "update/trust/crypto.h"
#include "website_harness.h"

namespace fs = std::filesystem;
using namespace std::string_literals;

namespace {

const Files kVersionA = {{"kelvadon_player.exe", "player one"},
                         {"kelvadon_studio.exe", "studio one"},
                         {"bin/shared.dll", "shared library"},
                         {"bin/old.dll", "only in one"}};
// Two changed fingerprints; the studio is unchanged and the shared library moved.
const Files kVersionB = {{"kelvadon_player.exe", "player two"},
                         {"kelvadon_studio.exe", "studio one"},
                         {"lib/shared.dll", "shared library"},
                         {"bin/new.dll", "only in two"}};

constexpr char kMarkerA[] =
    "Kelvadon 1.0, installed by KelvadonLauncher.exe.\r\n"
    "Your own files (logins, settings, saves, places) are in the folder two up from here.\r\n";

std::string FilePath(const std::string& bytes) { return "/client/files/" + Sha256Hex(bytes); }

class EngineWebsiteTest : public WebsiteScenarioTest {
 protected:
  void InstallA() {
    Publish("1.0", kVersionA);
    const UpdateResult result = Run();
    ASSERT_TRUE(result.ready) << result.error;
  }

  std::set<std::string> VersionEntries() const { return Entries(versions_); }

  // Every report after the first starts with verb and the last is verb 100%.
  void ExpectProgress(const std::string& verb) {
    ASSERT_GE(reports_.size(), 2u);
    EXPECT_EQ(reports_.front().text, "Checking for updates...");
    EXPECT_EQ(reports_.front().fraction, -1.0);
    for (size_t i = 1; i < reports_.size(); ++i) {
      EXPECT_EQ(reports_[i].text.rfind(verb + " Kelvadon... ", 0), 0u) << reports_[i].text;
      // A report is made when the shown text changes, not for every piece that arrives.
      EXPECT_NE(reports_[i].text, reports_[i - 1].text);
    }
    EXPECT_EQ(reports_.back().text, verb + " Kelvadon... 100%");
  }
};

TEST_F(EngineWebsiteTest, FreshInstallThenAnUnchangedWebsite) {
  Publish("1.0", kVersionA);
  const UpdateResult result = Run();
  EXPECT_TRUE(result.ready);
  EXPECT_TRUE(result.reached);
  EXPECT_EQ(result.error, "");
  EXPECT_EQ(result.version, "1.0");
  ExpectProgress("Installing");
  EXPECT_EQ(reports_.back().fraction, 1.0);
  std::vector<std::string> requests = NewPaths();
  ASSERT_EQ(requests.size(), 2 + kVersionA.size());
  EXPECT_EQ(requests[0], "/client/manifest.json");
  EXPECT_EQ(requests[1], "/client/manifest.sig");
  const std::set<std::string> fetched(requests.begin() + 2, requests.end());
  for (const auto& [path, bytes] : kVersionA) EXPECT_TRUE(fetched.count(FilePath(bytes))) << path;
  ExpectVersion("1.0", kVersionA);
  EXPECT_EQ(ReadBytes(root_ / "current.txt"), "1.0\n");
  EXPECT_EQ(ReadBytes(versions_ / "1.0" / kMarkerFileName), kMarkerA);
  EXPECT_EQ(ReadBytes(versions_ / "1.0" / "manifest.json"),
            ReadBytes(site_.root / scenario_ / "client" / "manifest.json"));
  EXPECT_EQ(VersionEntries(), (std::set<std::string>{"1.0"}));

  // Nothing changed: no download, and not even leftovers are removed.
  WriteFiles(versions_, {{"notes.txt", "mine"}, {"0.9.partial/x", "left over"}});
  // From the file's own time, so that its resolution keeps the value exact.
  const fs::file_time_type past =
      fs::last_write_time(root_ / "current.txt") - std::chrono::hours(24);
  fs::last_write_time(root_ / "current.txt", past);
  const UpdateResult again = Run();
  EXPECT_EQ(fs::last_write_time(root_ / "current.txt"), past) << "current.txt was rewritten";
  EXPECT_TRUE(again.ready) << again.error;
  ASSERT_EQ(reports_.size(), 1u);
  EXPECT_EQ(reports_[0].text, "Checking for updates...");
  EXPECT_EQ(NewPaths(),
            (std::vector<std::string>{"/client/manifest.json", "/client/manifest.sig"}));
  ExpectCurrent("1.0");
  EXPECT_EQ(ReadBytes(versions_ / "1.0" / kMarkerFileName), kMarkerA);
  EXPECT_EQ(VersionEntries(), (std::set<std::string>{"1.0", "notes.txt", "0.9.partial"}));
}

TEST_F(EngineWebsiteTest, UpdateFetchesOnlyChangedFilesThenRollsBack) {
  InstallA();
  // Whatever Versions held besides the current version goes, staging leftovers included.
  WriteFiles(versions_, {{"C/kelvadon-installed.txt", "x"},
                         {"C/kelvadon_player.exe", "c"},
                         {"D/a/b.dll", "d"},
                         {"loose.txt", "loose"},
                         {"C.partial/kelvadon_player.exe", "half"}});
  Publish("2.0", kVersionB);
  NewPaths();
  const UpdateResult update = Run();
  ASSERT_TRUE(update.ready) << update.error;
  ExpectProgress("Updating");
  // The manifest and its signature first; the files are downloaded at once, in any order.
  const std::vector<std::string> requests = NewPaths();
  ASSERT_EQ(requests.size(), 4u);
  EXPECT_EQ(requests[0], "/client/manifest.json");
  EXPECT_EQ(requests[1], "/client/manifest.sig");
  EXPECT_EQ((std::set<std::string>(requests.begin() + 2, requests.end())),
            (std::set<std::string>{FilePath("only in two"), FilePath("player two")}));
  ExpectVersion("2.0", kVersionB);
  ExpectVersion("1.0", kVersionA);
  ExpectCurrent("2.0");
  EXPECT_EQ(VersionEntries(), (std::set<std::string>{"1.0", "2.0"}));

  // Back to the kept version: a switch without a download or a clean-up.
  WriteFiles(versions_, {{"loose.txt", "loose"}});
  Publish("1.0", kVersionA);
  const UpdateResult rollback = Run();
  EXPECT_TRUE(rollback.ready) << rollback.error;
  EXPECT_EQ(rollback.version, "1.0");
  EXPECT_EQ(reports_.size(), 1u);
  EXPECT_EQ(NewPaths(),
            (std::vector<std::string>{"/client/manifest.json", "/client/manifest.sig"}));
  ExpectCurrent("1.0");
  EXPECT_EQ(VersionEntries(), (std::set<std::string>{"1.0", "2.0", "loose.txt"}));
}

TEST_F(EngineWebsiteTest, CurrentFileAlteredOnDiskIsDownloadedAgain) {
  InstallA();
  WriteFiles(versions_ / "1.0", {{"bin/shared.dll", "shared librarY"}});
  Publish("2.0", kVersionB);
  NewPaths();
  const UpdateResult result = Run();
  ASSERT_TRUE(result.ready) << result.error;
  const std::vector<std::string> requests = NewPaths();
  EXPECT_EQ(std::set<std::string>(requests.begin(), requests.end()),
            (std::set<std::string>{"/client/manifest.json", "/client/manifest.sig",
                                   FilePath("only in two"), FilePath("player two"),
                                   FilePath("shared library")}));
  EXPECT_EQ(requests.size(), 5u);
  ExpectVersion("2.0", kVersionB);
  // 14 bytes more than the 21 counted, which the progress never shows past all.
  EXPECT_EQ(reports_.back().text, "Updating Kelvadon... 100%");
}

TEST_F(EngineWebsiteTest, OneWrongByteLeavesTheCurrentVersion) {
  InstallA();
  Publish("2.0", kVersionB);
  const UpdateResult result = Run(Fault("wrong-byte"));
  EXPECT_FALSE(result.ready);
  EXPECT_TRUE(result.reached);
  EXPECT_EQ(result.version, "2.0");
  EXPECT_EQ(result.error,
            "bin/new.dll came out wrong (it didn't match its fingerprint): try again");
  ExpectCurrent("1.0");
  ExpectVersion("1.0", kVersionA);
  EXPECT_FALSE(fs::exists(versions_ / "2.0"));

  // The next attempt discards the partial folder and succeeds once the files arrive right.
  ASSERT_TRUE(Run().ready);
  ExpectVersion("2.0", kVersionB);
  EXPECT_EQ(VersionEntries(), (std::set<std::string>{"1.0", "2.0"}));
}

// One fingerprint under three names is fetched once, and an update after a rollback takes the
// files of the version rolled back from instead of fetching them again.
TEST_F(EngineWebsiteTest, EachFingerprintIsFetchedOnceAndKeptVersionsAreReused) {
  Files twice = kVersionA;
  twice["bin/copy.dll"] = "shared library";
  twice["data/copy.dll"] = "shared library";
  Publish("1.0", twice);
  NewPaths();
  ASSERT_TRUE(Run().ready);
  EXPECT_EQ(NewPaths().size(), 2 + kVersionA.size());
  ExpectVersion("1.0", twice);
  ExpectProgress("Installing");

  Publish("2.0", kVersionB);
  ASSERT_TRUE(Run().ready);
  Publish("1.0", twice);
  ASSERT_TRUE(Run().ready);  // a switch back; 2.0 stays as the kept version
  Files three = kVersionB;
  three["bin/three.dll"] = "only in three";
  Publish("3.0", three);
  NewPaths();
  ASSERT_TRUE(Run().ready);
  EXPECT_EQ(NewPaths(), (std::vector<std::string>{"/client/manifest.json", "/client/manifest.sig",
                                                  FilePath("only in three")}));
  ExpectVersion("3.0", three);
}

// A file that came out wrong is not left in the staging folder.
TEST_F(EngineWebsiteTest, AWrongFileLeavesNothingBehind) {
  Publish("1.0", kVersionA);
  const UpdateResult result = Run(Fault("wrong-byte"));
  EXPECT_FALSE(result.ready);
  EXPECT_EQ(result.error,
            "bin/old.dll came out wrong (it didn't match its fingerprint): try again");
  EXPECT_FALSE(fs::exists(versions_ / "1.0.partial" / "bin" / "old.dll"));
  EXPECT_FALSE(fs::exists(versions_ / "1.0"));
}

TEST_F(EngineWebsiteTest, StaleVersionFolderWithoutMarkerIsReplaced) {
  WriteFiles(versions_ / "1.0", {{"kelvadon_player.exe", "stale"}, {"junk.txt", "junk"}});
  Publish("1.0", kVersionA);
  const UpdateResult result = Run();
  ASSERT_TRUE(result.ready) << result.error;
  EXPECT_EQ(NewPaths().size(), 2 + kVersionA.size());
  ExpectVersion("1.0", kVersionA);
  EXPECT_FALSE(fs::exists(versions_ / "1.0" / "junk.txt"));
  ExpectCurrent("1.0");
}

TEST_F(EngineWebsiteTest, MissingFileFailsWithTheDownloadText) {
  Publish("1.0", kVersionA);
  fs::remove(site_.root / scenario_ / FilePath("only in one").substr(1));
  const UpdateResult result = Run();
  EXPECT_FALSE(result.ready);
  EXPECT_TRUE(result.reached);
  EXPECT_EQ(result.error,
            "Couldn't download bin/old.dll: The website said 404 (there's no release on it yet)");
  EXPECT_FALSE(fs::exists(root_ / "current.txt"));
  EXPECT_FALSE(fs::exists(versions_ / "1.0"));
}

// current.txt cannot be replaced while a folder holds its name (the tests run as root, so
// permissions would block nothing), both on the first install and when the version is already
// complete: never ready with nothing current.
TEST_F(EngineWebsiteTest, ReadyOnlyWhenCurrentTxtNamesTheVersion) {
  Publish("1.0", kVersionA);
  fs::create_directories(root_ / "current.txt" / "x");
  for (int run = 0; run < 2; ++run) {
    SCOPED_TRACE(run);
    const UpdateResult result = Run();
    EXPECT_FALSE(result.ready);
    EXPECT_EQ(result.error,
              "Couldn't write " + (root_ / "current.txt").string() + " (is the disk full?)");
    EXPECT_TRUE(fs::exists(versions_ / "1.0" / kMarkerFileName));
    EXPECT_FALSE(fs::exists(root_ / "current.txt.new"));
  }
}

// The self-update after a real update, the launcher named by the manifest published with it and
// the running launcher a stamped setup program.
TEST_F(EngineWebsiteTest, LauncherCopyFromTheManifest) {
  const std::string built = "MZ\0\x90 the launcher as built"s;
  const std::string released = WithReleaseKey("MZ\0\x90 the released launcher"s);
  const std::string stamp =
      "\r\nKELVADON-PLAY=0123456789abcdef0123456789abcdef"
      "\r\nKELVADON-WEBSITE=" +
      website_ + "\r\n";
  WriteFiles(scratch_, {{"KelvadonLauncher.exe", released}});
  Publish("1.0", kVersionA, scratch_ / "KelvadonLauncher.exe");
  const UpdateResult update = Run();
  ASSERT_TRUE(update.ready) << update.error;
  ASSERT_EQ(update.manifest.launcher.sha256, Sha256Hex(released));

  struct Case {
    const char* name;
    std::string own;        // the running setup program
    std::string installed;  // before; empty: none
    std::string website;
    std::string error;
    std::string after;
    bool fetched;  // the launcher was requested from nginx
  };
  const Case cases[] = {
      {"the manifest's launcher downloaded", built + stamp, "", website_, "", released, true},
      {"a wrong launcher byte", built + stamp, "an older launcher", Fault("wrong-byte"),
       "The new launcher came out wrong", built, false},
      {"the installed copy already current", released + stamp, released, website_, "", released,
       false},
  };
  const fs::path own = scratch_ / "kelvadonsetup.exe";
  const fs::path copy = root_ / kLauncherFileName;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    WriteFiles(scratch_, {{own.filename().string(), c.own}});
    fs::remove(copy);
    fs::file_time_type past;
    if (!c.installed.empty()) {
      WriteFiles(root_, {{kLauncherFileName, c.installed}});
      // From the file's own time, so that its resolution keeps the value exact.
      past = fs::last_write_time(copy) - std::chrono::hours(24);
      fs::last_write_time(copy, past);
    }
    NewPaths();
    std::string error;
    UpdateEnvironment environment;
    environment.ownImage = own;
    EXPECT_TRUE(UpdateLauncherCopy(root_, c.website, update.manifest, true, environment, error));
    EXPECT_EQ(error, c.error);
    EXPECT_EQ(ReadBytes(copy), c.after);
    EXPECT_EQ(ReadBytes(root_ / "website.txt"), c.website + "\n");
    EXPECT_FALSE(fs::exists(root_ / kOldLauncherFileName));
    const std::vector<std::string> requests = NewPaths();
    EXPECT_EQ(requests, c.fetched ? std::vector<std::string>{FilePath(released)}
                                  : std::vector<std::string>{});
    if (c.installed == c.after) {
      EXPECT_EQ(fs::last_write_time(copy), past);
    }
  }
}

// The longest path a manifest allows, under an InstallRoot 150 characters deep: past Windows'
// old 260-character limit at every step of the install and of the next update.
TEST_F(EngineWebsiteTest, LongestPathUnderADeepInstallRoot) {
  fs::path deep = scratch_;
  while (fs::absolute(deep).native().size() < 150) {
    const size_t missing = 150 - fs::absolute(deep).native().size();
    deep /= std::string(std::min<size_t>(60, missing > 1 ? missing - 1 : 1), 'd');
  }
  ASSERT_EQ(fs::absolute(deep).native().size(), 150u);
  root_ = deep;
  versions_ = root_ / "Versions";
  const std::string longest =
      std::string(100, 'a') + "/" + std::string(100, 'b') + "/" + std::string(94, 'c') + ".dll";
  ASSERT_EQ(longest.size(), 300u);
  Files files = kVersionA;
  files[longest] = "far down";
  Publish("1.0", files);
  const UpdateResult first = Run();
  ASSERT_TRUE(first.ready) << first.error;
  std::string bytes;
  EXPECT_TRUE(ReadWholeFile(versions_ / "1.0" / PathFromUtf8(longest), bytes));
  EXPECT_EQ(bytes, "far down");

  // Reused from the long path by the next version, and the old one cleaned up later.
  Files next = kVersionB;
  next[longest] = "far down";
  Publish("2.0", next);
  const UpdateResult second = Run();
  ASSERT_TRUE(second.ready) << second.error;
  bytes.clear();
  EXPECT_TRUE(ReadWholeFile(versions_ / "2.0" / PathFromUtf8(longest), bytes));
  EXPECT_EQ(bytes, "far down");
  Publish("3.0", kVersionA);
  ASSERT_TRUE(Run().ready);
  EXPECT_EQ(EntryKindOf(versions_ / "1.0"), EntryKind::Missing);
  RemoveInstalledFiles(root_);
  EXPECT_EQ(EntryKindOf(versions_), EntryKind::Missing);
}

// A link inside Versions that leads to the user's own files (with a marker in them to tempt the
// clean-up): the clean-up and the uninstall take the link away where the system lets them and
// never remove anything through it.
TEST_F(EngineWebsiteTest, LinksInVersionsNeverLeadTheRemovalsOut) {
  const fs::path user = scratch_ / "user files";
  WriteFiles(user, {{"places/home.kelvl", "mine"}, {kMarkerFileName, "not the launcher's"}});
  InstallA();
  std::string error;
  if (!MakeFolderLink(versions_ / "C", user, error)) GTEST_SKIP() << "no folder links: " << error;
  Publish("2.0", kVersionB);
  ASSERT_TRUE(Run().ready);
  ASSERT_TRUE(MakeFolderLink(versions_ / "D", user, error) || LinksCanBeRemoved()) << error;
  RemoveInstalledFiles(root_);
  if (LinksCanBeRemoved()) {
    EXPECT_EQ(EntryKindOf(versions_ / "C"), EntryKind::Missing);
    EXPECT_EQ(EntryKindOf(versions_), EntryKind::Missing);
  }
  EXPECT_EQ(ReadBytes(user / "places" / "home.kelvl"), "mine");
  EXPECT_EQ(ReadBytes(user / kMarkerFileName), "not the launcher's");
  RemoveFolderLink(versions_ / "C");
  RemoveFolderLink(versions_ / "D");
}

// Whoever answers for the website could stream into an empty file's download until the disk is
// full: the empty file is made, never fetched.
TEST_F(EngineWebsiteTest, AnEmptyFileIsMadeNotFetched) {
  Files files = kVersionA;
  files["data/empty.txt"] = "";
  Publish("1.0", files);
  ASSERT_TRUE(Run().ready);
  ExpectVersion("1.0", files);
  const std::vector<std::string> requests = NewPaths();
  EXPECT_EQ(std::count(requests.begin(), requests.end(), FilePath("")), 0);
  EXPECT_EQ(std::count(requests.begin(), requests.end(), FilePath("player one")), 1);
}

// An interrupted run's staging folder is open to anyone: what the manifest does not name there
// never becomes part of the version (a DLL beside the player would be loaded by it).
TEST_F(EngineWebsiteTest, EntriesPlantedInTheStagingFolderAreRemoved) {
  Publish("1.0", kVersionA);
  const fs::path staging = versions_ / "1.0.partial";
  const fs::path outside = scratch_ / "outside";
  WriteFiles(staging, {{"version.dll", "planted"},
                       {"bin/evil.dll", "planted"},
                       {"kelvadon_studio.exe/inside.dll", "a folder where a file belongs"}});
  WriteFiles(outside, {{"keep.txt", "mine"}});
  std::string error;
  const bool linked =
      LinksCanBeRemoved() && MakeFolderLink(staging / "bin" / "link", outside, error);
  ASSERT_TRUE(Run().ready);
  ExpectVersion("1.0", kVersionA);
  for (const char* planted : {"version.dll", "bin/evil.dll", "bin/link"}) {
    EXPECT_EQ(EntryKindOf(versions_ / "1.0" / planted), EntryKind::Missing) << planted;
  }
  EXPECT_EQ(ReadBytes(outside / "keep.txt"), "mine");
  if (linked) RemoveFolderLink(staging / "bin" / "link");
}

// Windows drops a trailing dot, so a version "1.0.." would be installed as "Versions\1.0" and never
// found again: such a name is refused before anything on disk changes.
TEST_F(EngineWebsiteTest, AVersionNameWindowsWouldChangeIsRefusedFirst) {
  InstallA();
  std::string json = ReadBytes(site_.root / scenario_ / "client" / "manifest.json");
  const size_t version = json.find("\"1.0\"");
  const size_t sequence = json.find("\"sequence\": 1,");
  ASSERT_NE(version, std::string::npos);
  ASSERT_NE(sequence, std::string::npos);
  json.replace(sequence, 14, "\"sequence\": 2,");
  json.replace(version, 5, "\"1.0..\"");
  std::string error;
  ASSERT_TRUE(SignTestManifest(site_, scenario_, json, error)) << error;
  const UpdateResult result = Run();
  EXPECT_FALSE(result.ready);
  EXPECT_EQ(result.error, "The update's list of files doesn't make sense (bad version)");
  ExpectCurrent("1.0");
  EXPECT_EQ(VersionEntries(), std::set<std::string>{"1.0"});
}

// Unchanged files are shared with the kept version rather than copied, where the volume allows,
// and nothing the launcher does afterwards writes through a shared file: not the update, a
// rollback, the clean-up of a version that shared it, nor the uninstall.
TEST_F(EngineWebsiteTest, KeptFilesAreSharedWhereTheVolumeAllows) {
#ifdef _WIN32
  constexpr int kNoLinksOnThisVolume = 1;  // ERROR_INVALID_FUNCTION, as FAT answers
  constexpr int kTooManyLinks = 1142;      // ERROR_TOO_MANY_LINKS
#else
  constexpr int kNoLinksOnThisVolume = EPERM;
  constexpr int kTooManyLinks = EMLINK;
#endif
  const Files one = {{"kelvadon_player.exe", "player one"},
                     {"kelvadon_studio.exe", "studio"},
                     {"data/a.pak", "pak a"},
                     {"data/b.pak", "pak b"}};
  Files two = one;
  two["kelvadon_player.exe"] = "player two";
  Files three = two;
  three["data/c.pak"] = "pak c";
  int calls = 0;
  struct Case {
    const char* name;
    FileSharer share;
    std::string damaged;               // a kept file changed in place before the update
    std::vector<std::string> shared;   // 2.0's files that are 1.0's
    std::vector<std::string> fetched;  // by the update to 2.0
    int calls;                         // of the share, when not -1
  };
  const Case cases[] = {
      {"sharing allowed",
       ShareFile,
       "",
       {"data/a.pak", "data/b.pak", "kelvadon_studio.exe"},
       {"player two"},
       -1},
      {"refused for every file",
       [&](const fs::path&, const fs::path&, ShareWay) { return ++calls, kNoLinksOnThisVolume; },
       "",
       {},
       {"player two"},
       1},
      {"refused for one file",
       [&](const fs::path& from, const fs::path& to, ShareWay way) {
         ++calls;
         return to.filename() == "a.pak" ? kTooManyLinks : ShareFile(from, to, way);
       },
       "",
       {"data/b.pak", "kelvadon_studio.exe"},
       {"player two"},
       4},
      {"a kept file changed on the disk",
       ShareFile,
       "data/b.pak",
       {"data/a.pak", "kelvadon_studio.exe"},
       {"player two", "pak b"},
       -1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    RemovePathTree(root_);
    calls = 0;
    environment_.share = c.share;
    const auto expect = [&](const std::string& version, const Files& client) {
      for (const auto& [path, bytes] : client) {
        EXPECT_EQ(ReadBytes(versions_ / version / path), bytes) << version << "/" << path;
      }
    };
    Publish("1.0", one);
    ASSERT_TRUE(Run().ready);
    Files kept = one;
    if (!c.damaged.empty()) {
      kept[c.damaged] = "pak B";
      WriteFiles(versions_ / "1.0", {{c.damaged, kept[c.damaged]}});
    }
    Publish("2.0", two);
    NewPaths();
    const UpdateResult result = Run();
    ASSERT_TRUE(result.ready) << result.error;
    std::set<std::string> expected = {"/client/manifest.json", "/client/manifest.sig"};
    for (const std::string& bytes : c.fetched) expected.insert(FilePath(bytes));
    const std::vector<std::string> fetched = NewPaths();
    EXPECT_EQ(std::set<std::string>(fetched.begin(), fetched.end()), expected);
    std::vector<std::string> shared;
    for (const auto& [path, bytes] : two) {
      if (fs::equivalent(versions_ / "1.0" / path, versions_ / "2.0" / path)) {
        shared.push_back(path);
      }
    }
    EXPECT_EQ(shared, c.shared);
    if (c.calls >= 0) {
      EXPECT_EQ(calls, c.calls);
    }
    expect("2.0", two);
    expect("1.0", kept);

    Publish("1.0", one);  // back to 1.0, then on to 3.0: 2.0 goes, and 1.0 is kept
    ASSERT_TRUE(Run().ready);
    expect("2.0", two);
    Publish("3.0", three);
    ASSERT_TRUE(Run().ready);
    EXPECT_FALSE(fs::exists(versions_ / "2.0"));
    expect("3.0", three);
    expect("1.0", kept);
    RemoveInstalledFiles(root_);
    EXPECT_FALSE(fs::exists(versions_));
  }
}

}  // namespace
