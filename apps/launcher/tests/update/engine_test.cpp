#include "update/engine.h"

#include <gtest/gtest.h>

#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "tests/update/test_website.h"
#include "update/crypto.h"
#include "update/layout.h"

namespace fs = std::filesystem;

namespace {

using Files = std::map<std::string, std::string>;

const Files kVersionA = {{"kelvadon_player.exe", "player one"},
                         {"kelvadon_studio.exe", "studio one"},
                         {"bin/shared.dll", "shared library"},
                         {"bin/old.dll", "only in one"}};
// Two changed fingerprints; the studio is unchanged and the shared library moved.
const Files kVersionB = {{"kelvadon_player.exe", "player two"},
                         {"kelvadon_studio.exe", "studio one"},
                         {"lib/shared.dll", "shared library"},
                         {"bin/new.dll", "only in two"}};

std::string FileUrl(const std::string& bytes) {
  return std::string(kTestWebsite) + "/client/files/" + Sha256Hex(bytes);
}

struct Report {
  std::string text;
  double fraction;
};

class EngineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    scratch_ = MakeScratchFolder("kelvadon-engine-test-");
    ASSERT_FALSE(scratch_.empty());
    web_ = scratch_ / "web";
    root_ = scratch_ / "root";
    versions_ = root_ / "Versions";
  }

  void TearDown() override {
    std::error_code ec;
    fs::remove_all(scratch_, ec);
  }

  void Publish(const std::string& version, const Files& files) {
    const fs::path client = scratch_ / "clients" / version;
    WriteFiles(client, files);
    std::string output;
    ASSERT_TRUE(PublishVersion(client, version, web_, {}, output)) << output;
  }

  UpdateResult Run(FetchLog* log = nullptr) {
    reports_.clear();
    const ProgressReporter reporter = [this](const std::string& text, double fraction) {
      reports_.push_back({text, fraction});
    };
    return UpdateInstallation(kTestWebsite, root_, reporter, FolderFetcher(web_, log));
  }

  std::set<std::string> VersionEntries() {
    std::set<std::string> names;
    for (const fs::directory_entry& entry : fs::directory_iterator(versions_)) {
      names.insert(entry.path().filename().string());
    }
    return names;
  }

  void ExpectVersion(const std::string& version, const Files& files) {
    for (const auto& [path, bytes] : files) {
      EXPECT_EQ(ReadBytes(versions_ / version / path), bytes) << version << "/" << path;
    }
    EXPECT_TRUE(fs::exists(versions_ / version / kMarkerFileName)) << version;
  }

  void ExpectCurrent(const std::string& version) {
    EXPECT_EQ(ReadBytes(root_ / "current.txt"), version + "\n");
    EXPECT_EQ(CurrentVersionFolder(root_), versions_ / version);
  }

  fs::path scratch_;
  fs::path web_;
  fs::path root_;
  fs::path versions_;
  std::vector<Report> reports_;
};

// The cases that sign websites with kelvadon-publish.
class PublishedEngineTest : public EngineTest {
 protected:
  void SetUp() override {
    std::string reason;
    if (!CanPublish(reason)) GTEST_SKIP() << reason;
    EngineTest::SetUp();
  }

  void InstallA() {
    Publish("1.0", kVersionA);
    const UpdateResult result = Run();
    ASSERT_TRUE(result.ready) << result.error;
  }
};

TEST_F(PublishedEngineTest, FreshInstallDownloadsEveryFileAndMarksTheVersion) {
  Publish("1.0", kVersionA);
  FetchLog log;
  const UpdateResult result = Run(&log);
  EXPECT_TRUE(result.ready);
  EXPECT_TRUE(result.reached);
  EXPECT_EQ(result.error, "");
  EXPECT_EQ(result.version, "1.0");
  EXPECT_EQ(result.manifest.files.size(), kVersionA.size());

  std::set<std::string> fetched(log.urls.begin() + 2, log.urls.end());
  EXPECT_EQ(log.urls.size(), 2 + kVersionA.size());
  for (const auto& [path, bytes] : kVersionA) EXPECT_TRUE(fetched.count(FileUrl(bytes))) << path;

  ASSERT_GE(reports_.size(), 2u);
  EXPECT_EQ(reports_.front().text, "Checking for updates...");
  EXPECT_EQ(reports_.front().fraction, -1.0);
  for (size_t i = 1; i < reports_.size(); ++i) {
    EXPECT_EQ(reports_[i].text.rfind("Installing Kelvadon... ", 0), 0u) << reports_[i].text;
  }
  EXPECT_EQ(reports_.back().text, "Installing Kelvadon... 100%");
  EXPECT_EQ(reports_.back().fraction, 1.0);

  ExpectVersion("1.0", kVersionA);
  EXPECT_EQ(ReadBytes(root_ / "current.txt"), "1.0\n");
  EXPECT_EQ(ReadBytes(versions_ / "1.0" / "kelvadon-installed.txt"),
            "Kelvadon 1.0, installed by KelvadonLauncher.exe.\r\n"
            "Your own files (logins, settings, saves, places) are in the folder two up from "
            "here.\r\n");
  EXPECT_EQ(ReadBytes(versions_ / "1.0" / "manifest.json"),
            ReadBytes(web_ / "client" / "manifest.json"));
  EXPECT_EQ(ReadBytes(versions_ / "1.0" / "manifest.sig"),
            ReadBytes(web_ / "client" / "manifest.sig"));
  EXPECT_EQ(VersionEntries(), (std::set<std::string>{"1.0"}));
}

TEST_F(PublishedEngineTest, UnchangedWebsiteOnlyRewritesCurrentAndRemovesNothing) {
  InstallA();
  WriteFiles(versions_, {{"notes.txt", "mine"}, {"0.9.partial/x", "left over"}});
  WriteFiles(root_, {{"current.txt", "1.0\r\n"}});
  FetchLog log;
  const UpdateResult result = Run(&log);
  EXPECT_TRUE(result.ready) << result.error;
  EXPECT_EQ(log.urls.size(), 2u);
  ASSERT_EQ(reports_.size(), 1u);
  EXPECT_EQ(reports_[0].text, "Checking for updates...");
  EXPECT_EQ(ReadBytes(root_ / "current.txt"), "1.0\n");
  EXPECT_EQ(VersionEntries(), (std::set<std::string>{"1.0", "notes.txt", "0.9.partial"}));
}

TEST_F(PublishedEngineTest, UpdateFetchesOnlyChangedFingerprintsAndKeepsThePrevious) {
  InstallA();
  // Whatever Versions held besides the current version goes, staging leftovers included.
  WriteFiles(versions_, {{"C/kelvadon-installed.txt", "x"},
                         {"C/kelvadon_player.exe", "c"},
                         {"D/a/b.dll", "d"},
                         {"loose.txt", "loose"},
                         {"C.partial/kelvadon_player.exe", "half"}});
  Publish("2.0", kVersionB);
  FetchLog log;
  const UpdateResult result = Run(&log);
  ASSERT_TRUE(result.ready) << result.error;
  EXPECT_EQ(log.urls, (std::vector<std::string>{std::string(kTestWebsite) + "/client/manifest.json",
                                                std::string(kTestWebsite) + "/client/manifest.sig",
                                                FileUrl("only in two"), FileUrl("player two")}));
  for (size_t i = 1; i < reports_.size(); ++i) {
    EXPECT_EQ(reports_[i].text.rfind("Updating Kelvadon... ", 0), 0u) << reports_[i].text;
  }
  EXPECT_EQ(reports_.back().text, "Updating Kelvadon... 100%");
  ExpectVersion("2.0", kVersionB);
  ExpectVersion("1.0", kVersionA);
  ExpectCurrent("2.0");
  EXPECT_EQ(VersionEntries(), (std::set<std::string>{"1.0", "2.0"}));
}

TEST_F(PublishedEngineTest, AlteredPartnerIsDownloadedAndThePercentagePasses100) {
  InstallA();
  WriteFiles(versions_ / "1.0", {{"bin/shared.dll", "shared librarY"}});
  Publish("2.0", kVersionB);
  FetchLog log;
  const UpdateResult result = Run(&log);
  ASSERT_TRUE(result.ready) << result.error;
  EXPECT_EQ(log.urls.size(), 5u);
  EXPECT_EQ(log.urls.back(), FileUrl("shared library"));
  ExpectVersion("2.0", kVersionB);
  // 14 more bytes than the 21 counted.
  EXPECT_EQ(reports_.back().text, "Updating Kelvadon... 166%");
  EXPECT_GT(reports_.back().fraction, 1.0);
}

TEST_F(PublishedEngineTest, RollbackToTheKeptVersionDownloadsAndRemovesNothing) {
  InstallA();
  Publish("2.0", kVersionB);
  ASSERT_TRUE(Run().ready);
  WriteFiles(versions_, {{"loose.txt", "loose"}});
  Publish("1.0", kVersionA);
  FetchLog log;
  const UpdateResult result = Run(&log);
  EXPECT_TRUE(result.ready) << result.error;
  EXPECT_EQ(result.version, "1.0");
  EXPECT_EQ(log.urls.size(), 2u);
  EXPECT_EQ(reports_.size(), 1u);
  ExpectCurrent("1.0");
  EXPECT_EQ(VersionEntries(), (std::set<std::string>{"1.0", "2.0", "loose.txt"}));
}

TEST_F(PublishedEngineTest, OneWrongByteFailsAndLeavesTheCurrentVersion) {
  InstallA();
  Publish("2.0", kVersionB);
  WriteFiles(web_ / "client" / "files", {{Sha256Hex("only in two"), "only in tw0"}});
  const UpdateResult result = Run();
  EXPECT_FALSE(result.ready);
  EXPECT_TRUE(result.reached);
  EXPECT_EQ(result.version, "2.0");
  EXPECT_EQ(result.error,
            "bin/new.dll came out wrong (it didn't match its fingerprint): try again");
  ExpectCurrent("1.0");
  ExpectVersion("1.0", kVersionA);
  EXPECT_FALSE(fs::exists(versions_ / "2.0"));

  // The next attempt discards the partial folder and succeeds once the website is right.
  WriteFiles(web_ / "client" / "files", {{Sha256Hex("only in two"), "only in two"}});
  ASSERT_TRUE(Run().ready);
  ExpectVersion("2.0", kVersionB);
  EXPECT_EQ(VersionEntries(), (std::set<std::string>{"1.0", "2.0"}));
}

TEST_F(PublishedEngineTest, MissingFileFailsWithTheDownloadText) {
  Publish("1.0", kVersionA);
  fs::remove(web_ / "client" / "files" / Sha256Hex("only in one"));
  const UpdateResult result = Run();
  EXPECT_FALSE(result.ready);
  EXPECT_EQ(result.error, std::string("Couldn't download bin/old.dll: ") + kTestNotFound);
  EXPECT_FALSE(fs::exists(root_ / "current.txt"));
}

TEST_F(PublishedEngineTest, StaleFolderWithoutMarkerIsReplaced) {
  WriteFiles(versions_ / "1.0", {{"kelvadon_player.exe", "stale"}, {"junk.txt", "junk"}});
  Publish("1.0", kVersionA);
  ASSERT_TRUE(Run().ready);
  ExpectVersion("1.0", kVersionA);
  EXPECT_FALSE(fs::exists(versions_ / "1.0" / "junk.txt"));
}

// Manifests the tool would refuse to publish, signed directly.
TEST_F(PublishedEngineTest, FilesThatCannotBeWritten) {
  const std::string a = "a";
  const std::string entry = "\", \"sha256\": \"" + Sha256Hex(a) + "\", \"size\": 1}";
  WriteFiles(web_ / "client" / "files", {{Sha256Hex(a), a}});
  struct Case {
    const char* name;
    std::string paths[2];
    std::string error;  // after the InstallRoot
    bool stagingMade;
  };
  const std::string staging = "/Versions/1.0.partial/";
  const Case cases[] = {
      {"destination blocked by a folder",
       {"data/x.bin", "data"},
       "Couldn't write " + root_.string() + staging + "data (is the disk full?)",
       true},
      {"marker blocked by a folder",
       {"kelvadon-installed.txt/x", "y"},
       "Couldn't write " + root_.string() + staging + "kelvadon-installed.txt (is the disk full?)",
       true},
      {"path that isn't UTF-8",
       {"ok.dll", "bad\xFF.dll"},
       "The update names a file that isn't valid text",
       false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove_all(root_);
    std::string output;
    ASSERT_TRUE(PublishManifestText(web_,
                                    "{\"version\": \"1.0\", \"files\": [{\"path\": \"" +
                                        c.paths[0] + entry + ", {\"path\": \"" + c.paths[1] +
                                        entry + "]}",
                                    output))
        << output;
    const UpdateResult result = Run();
    EXPECT_FALSE(result.ready);
    EXPECT_EQ(result.error, c.error);
    EXPECT_EQ(fs::exists(versions_ / "1.0.partial"), c.stagingMade);
    EXPECT_FALSE(fs::exists(versions_ / "1.0"));
    EXPECT_FALSE(fs::exists(root_ / "current.txt"));
  }
}

TEST_F(PublishedEngineTest, ReadyOnlyWhenCurrentTxtNamesTheVersion) {
  Publish("1.0", kVersionA);
  // current.txt cannot be replaced while a folder holds its name, both on the first install and
  // when the version is already complete.
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

TEST_F(EngineTest, FailuresBeforeTheManifestIsAccepted) {
  struct Case {
    const char* name;
    std::string website;
    Files files;  // on the website
    bool reached;
    std::string error;  // empty: any text
  };
  const std::string sig64(64, 's');
  const Case cases[] = {
      {"no website address", "", {}, false, "No website to update from"},
      {"website stopped", kTestWebsite, {}, false, kTestNoAnswer},
      {"no manifest", kTestWebsite, {{"client/x", ""}}, true, kTestNotFound},
      {"no signature", kTestWebsite, {{"client/manifest.json", "{}"}}, true, kTestNotFound},
      {"manifest not signed by the release key",
       kTestWebsite,
       {{"client/manifest.json", "{}"}, {"client/manifest.sig", sig64}},
       true,
       ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove_all(web_);
    if (!c.files.empty()) WriteFiles(web_, c.files);
    reports_.clear();
    const ProgressReporter reporter = [this](const std::string& text, double fraction) {
      reports_.push_back({text, fraction});
    };
    const UpdateResult result = UpdateInstallation(c.website, root_, reporter, FolderFetcher(web_));
    EXPECT_FALSE(result.ready);
    EXPECT_EQ(result.reached, c.reached);
    EXPECT_EQ(result.version, "");
    EXPECT_EQ(result.manifest.version, "");
    if (c.error.empty()) {
      EXPECT_NE(result.error, "");
    } else {
      EXPECT_EQ(result.error, c.error);
    }
    EXPECT_EQ(reports_.size(), c.website.empty() ? 0u : 1u);
    EXPECT_FALSE(fs::exists(root_));
  }
}

}  // namespace
