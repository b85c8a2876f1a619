// The engine through a fake fetcher, for what the test website cannot serve: manifests that
// kelvadon-publish refuses to make and websites without a valid release. The install and
// update cases themselves run against nginx in engine_website_test, in both builds.
#include "update/engine.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <limits>
#include <map>
#include <string>
#include <vector>

#include "tests/update/test_website.h"
#include "update/trust/crypto.h"

namespace fs = std::filesystem;

namespace {

using Files = std::map<std::string, std::string>;

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

  UpdateResult Run(FetchLog* log = nullptr) {
    reports_.clear();
    const ProgressReporter reporter = [this](const std::string& text, double fraction) {
      reports_.push_back({text, fraction});
    };
    return UpdateInstallation(kTestWebsite, root_, reporter, WithFetch(FolderFetcher(web_, log)));
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
};

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
    UpdateEnvironment environment = WithFetch(FolderFetcher(web_));
    environment.refetchPause = [] {};
    const UpdateResult result = UpdateInstallation(c.website, root_, reporter, environment);
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

// A cache in front of the website may serve one publish's manifest with the signature of
// another for a moment: the pair is fetched once more, after the pause, before it counts as
// unsigned.
TEST_F(PublishedEngineTest, AMismatchedManifestAndSignatureAreFetchedOnceMore) {
  const fs::path client = scratch_ / "client";
  WriteFiles(client, {{"kelvadon_player.exe", "player"}, {"kelvadon_studio.exe", "studio"}});
  std::string output;
  ASSERT_TRUE(PublishVersion(client, "1.0", web_, {}, output)) << output;
  const std::string oldSignature = ReadBytes(web_ / "client" / "manifest.sig");
  ASSERT_TRUE(PublishVersion(client, "1.1", web_, {}, output)) << output;

  struct Case {
    const char* name;
    int staleAnswers;  // how many signature requests get the earlier publish's signature
    int pauses;
    int signatureRequests;
    std::string error;  // empty: installed
  };
  const Case cases[] = {
      {"a matching pair", 0, 0, 1, ""},
      {"mismatched first, matching on the second fetch", 1, 1, 2, ""},
      {"mismatched twice", 2, 1, 2, "The update isn't signed by Kelvadon, so it wasn't installed"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove_all(root_);
    int stale = c.staleAnswers;
    int signatureRequests = 0;
    int pauses = 0;
    std::vector<std::string> order;
    const HttpFetcher served = FolderFetcher(web_);
    const HttpFetcher fetch = [&](HttpSession& session, const HttpRequest& request,
                                  const BodySink& sink, std::string& error, bool& responded) {
      const std::string& url = request.url;
      order.push_back(url.substr(url.rfind('/') + 1));
      if (!url.ends_with("/client/manifest.sig")) {
        return served(session, request, sink, error, responded);
      }
      ++signatureRequests;
      if (stale-- > 0) {
        responded = true;
        return sink(oldSignature.data(), oldSignature.size()) ? FetchStatus::Done
                                                              : FetchStatus::Failed;
      }
      return served(session, request, sink, error, responded);
    };
    std::vector<std::string> texts;
    UpdateEnvironment environment = WithFetch(fetch);
    environment.refetchPause = [&pauses, &order] {
      ++pauses;
      order.push_back("pause");
    };
    const UpdateResult result = UpdateInstallation(
        kTestWebsite, root_, [&texts](const std::string& text, double) { texts.push_back(text); },
        environment);
    EXPECT_EQ(pauses, c.pauses);
    EXPECT_EQ(signatureRequests, c.signatureRequests);
    if (c.pauses > 0) {
      // Both files again, and only after the pause.
      ASSERT_GE(order.size(), 5u);
      EXPECT_EQ(std::vector<std::string>(order.begin(), order.begin() + 5),
                (std::vector<std::string>{"manifest.json", "manifest.sig", "pause", "manifest.json",
                                          "manifest.sig"}));
    }
    if (c.error.empty()) {
      EXPECT_TRUE(result.ready) << result.error;
      EXPECT_EQ(result.error, "");
      EXPECT_EQ(result.version, "1.1");
    } else {
      EXPECT_FALSE(result.ready);
      EXPECT_EQ(result.error, c.error);
      EXPECT_FALSE(fs::exists(versions_));
    }
  }
}

// The fetcher with its ceiling taken away, as a faulty back-end would behave: the engine's own
// check must still stop the answer.
HttpFetcher WithoutCeiling(const HttpFetcher& fetch) {
  return [fetch](HttpSession& session, const HttpRequest& request, const BodySink& sink,
                 std::string& error, bool& responded) {
    HttpRequest unlimited = request;
    unlimited.maxBytes = std::numeric_limits<uint64_t>::max();
    return fetch(session, unlimited, sink, error, responded);
  };
}

// A file of the size, its bytes zero, made without writing them.
void SparseFile(const fs::path& path, uint64_t size) {
  fs::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary).close();
  fs::resize_file(path, size);
}

TEST_F(EngineTest, TheManifestAndTheSignatureHaveCeilings) {
  constexpr uint64_t kManifestCeiling = 64 * 1024 * 1024;
  struct Case {
    const char* name;
    uint64_t manifestBytes;
    uint64_t signatureBytes;
    std::string error;  // empty: any other sentence
  };
  const Case cases[] = {
      {"a manifest one byte too long", kManifestCeiling + 1, 64,
       "The update's list of files is too large"},
      {"a manifest far too long", 4 * kManifestCeiling, 64,
       "The update's list of files is too large"},
      {"a manifest at the ceiling", kManifestCeiling, 64, ""},
      {"a signature one byte too long", 2, 4097,
       "The update isn't signed by Kelvadon, so it wasn't installed"},
      {"a signature at the ceiling", 2, 4096, ""},
  };
  for (const bool honoured : {true, false}) {
    for (const Case& c : cases) {
      SCOPED_TRACE(std::string(c.name) + (honoured ? "" : ", the fetcher ignoring the ceiling"));
      fs::remove_all(web_);
      SparseFile(web_ / "client" / "manifest.json", c.manifestBytes);
      SparseFile(web_ / "client" / "manifest.sig", c.signatureBytes);
      const HttpFetcher fetch = FolderFetcher(web_);
      const UpdateResult result = UpdateInstallation(
          kTestWebsite, root_, [](const std::string&, double) {},
          WithFetch(honoured ? fetch : WithoutCeiling(fetch)));
      EXPECT_FALSE(result.ready);
      EXPECT_TRUE(result.reached);
      if (c.error.empty()) {
        EXPECT_NE(result.error, "");
        EXPECT_NE(result.error, "The update's list of files is too large");
      } else {
        EXPECT_EQ(result.error, c.error);
      }
      EXPECT_FALSE(fs::exists(root_));
    }
  }
}

// What a client file may be: as long as its signed size and no longer, with its own fingerprint.
// A file that came out wrong leaves nothing behind in the staging folder.
TEST_F(PublishedEngineTest, AFileLongerOrOtherThanSignedLeavesNothingBehind) {
  const std::string good = "the real bytes";
  struct Case {
    const char* name;
    std::string served;  // under the fingerprint of good
    bool honoured;       // whether the fetcher applies the ceiling itself
    bool ready;
  };
  const Case cases[] = {
      {"the signed bytes", good, true, true},
      {"one byte more", good + "!", true, false},
      {"one byte more, the fetcher ignoring the ceiling", good + "!", false, false},
      {"far more, the fetcher ignoring the ceiling", good + std::string(1 << 20, 'x'), false,
       false},
      {"the right length, one byte wrong", "the real byteS", true, false},
      {"one byte fewer", "the real byte", true, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove_all(root_);
    fs::remove_all(web_);
    WriteFiles(web_ / "client" / "files", {{Sha256Hex(good), c.served}});
    std::string output;
    ASSERT_TRUE(PublishManifestText(web_,
                                    "{\"version\": \"1.0\", \"files\": [{\"path\": "
                                    "\"data/real.pak\", \"sha256\": \"" +
                                        Sha256Hex(good) +
                                        "\", \"size\": " + std::to_string(good.size()) + "}]}",
                                    output))
        << output;
    const HttpFetcher fetch = FolderFetcher(web_);
    const UpdateResult result = UpdateInstallation(
        kTestWebsite, root_, [](const std::string&, double) {},
        WithFetch(c.honoured ? fetch : WithoutCeiling(fetch)));
    EXPECT_EQ(result.ready, c.ready) << result.error;
    if (c.ready) {
      EXPECT_EQ(ReadBytes(versions_ / "1.0" / "data" / "real.pak"), good);
      continue;
    }
    EXPECT_EQ(result.error,
              "data/real.pak came out wrong (it didn't match its fingerprint): try again");
    EXPECT_FALSE(fs::exists(versions_ / "1.0.partial" / "data" / "real.pak"));
    EXPECT_FALSE(fs::exists(versions_ / "1.0"));
    EXPECT_FALSE(fs::exists(root_ / "current.txt"));
  }
}

// A path named twice, in every mix of downloads and copies, ends with the later entry's file,
// though the downloads run at once; so does a path that an interrupted run left holding the
// later entry's file. A spelling that differs only in case is one file on Windows.
TEST_F(PublishedEngineTest, APathNamedTwiceEndsWithTheLaterEntry) {
  struct Entry {
    std::string path;
    std::string bytes;
  };
  struct Case {
    const char* name;
    std::vector<Entry> entries;
    std::string path;  // what to look at, and what it must hold
    std::string bytes;
    std::string staged;  // what the staging folder holds at path before the run, if anything
  };
  const Case cases[] = {
      {"both downloaded",
       {{"a.dat", "first"}, {"b.dat", "other"}, {"a.dat", "second"}},
       "a.dat",
       "second",
       ""},
      {"downloaded, then copied",
       {{"c.dat", "shared"}, {"a.dat", "downloaded"}, {"a.dat", "shared"}},
       "a.dat",
       "shared",
       ""},
      {"copied, then downloaded",
       {{"c.dat", "shared"}, {"a.dat", "shared"}, {"a.dat", "new"}},
       "a.dat",
       "new",
       ""},
      {"three times, among others",
       {{"a.dat", "one"}, {"x/1", "x1"}, {"a.dat", "two"}, {"x/2", "x2"}, {"a.dat", "three"}},
       "a.dat",
       "three",
       ""},
      {"spelled in another case",
       {{"Data/A.dat", "upper"}, {"data/a.dat", "lower"}},
       "data/a.dat",
       "lower",
       ""},
      {"the staging folder holds the later file",
       {{"a.dat", "first"}, {"a.dat", "second"}},
       "a.dat",
       "second",
       "second"},
      {"the staging folder holds the earlier file",
       {{"a.dat", "first"}, {"a.dat", "second"}},
       "a.dat",
       "second",
       "first"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove_all(root_);
    fs::remove_all(web_);
    std::string json = "{\"version\": \"1.0\", \"files\": [";
    for (const Entry& entry : c.entries) {
      WriteFiles(web_ / "client" / "files", {{Sha256Hex(entry.bytes), entry.bytes}});
      json += std::string(&entry == c.entries.data() ? "" : ", ") + "{\"path\": \"" + entry.path +
              "\", \"sha256\": \"" + Sha256Hex(entry.bytes) +
              "\", \"size\": " + std::to_string(entry.bytes.size()) + "}";
    }
    json += "]}";
    std::string output;
    ASSERT_TRUE(PublishManifestText(web_, json, output)) << output;
    if (!c.staged.empty()) WriteFiles(versions_ / "1.0.partial", {{c.path, c.staged}});
    const UpdateResult result = Run();
    ASSERT_TRUE(result.ready) << result.error;
    EXPECT_EQ(ReadBytes(versions_ / "1.0" / c.path), c.bytes);
    ASSERT_FALSE(reports_.empty());
    EXPECT_EQ(reports_.back().text, "Installing Kelvadon... 100%");
  }
}

// One fingerprint under several names is fetched once; the other names are copies of the first.
TEST_F(PublishedEngineTest, AFingerprintNamedTwiceIsDownloadedOnce) {
  Files client = {{"kelvadon_player.exe", "player"},
                  {"kelvadon_studio.exe", "studio"},
                  {"a/shared.dll", "shared"},
                  {"b/shared.dll", "shared"},
                  {"c/copy.dll", "shared"}};
  WriteFiles(scratch_ / "client", client);
  std::string output;
  ASSERT_TRUE(PublishVersion(scratch_ / "client", "1.0", web_, {}, output)) << output;
  FetchLog log;
  const UpdateResult result = Run(&log);
  ASSERT_TRUE(result.ready) << result.error;
  EXPECT_EQ(log.urls.size(), 2u + 3u);  // the manifest, its signature and three fingerprints
  EXPECT_EQ(std::count(log.urls.begin(), log.urls.end(),
                       std::string(kTestWebsite) + "/client/files/" + Sha256Hex("shared")),
            1);
  for (const auto& [path, bytes] : client) {
    EXPECT_EQ(ReadBytes(versions_ / "1.0" / path), bytes) << path;
  }
  // The bytes are counted once, so the progress ends at 100%.
  ASSERT_FALSE(reports_.empty());
  EXPECT_EQ(reports_.back().text, "Installing Kelvadon... 100%");
}

// After a rollback the version rolled back from is still kept, and the next update takes the
// files it has rather than downloading them again.
TEST_F(PublishedEngineTest, AnUpdateAfterARollbackReusesTheVersionRolledBackFrom) {
  const Files one = {{"kelvadon_player.exe", "player one"}, {"kelvadon_studio.exe", "studio"}};
  const Files two = {{"kelvadon_player.exe", "player two"}, {"kelvadon_studio.exe", "studio"}};
  const Files three = {{"kelvadon_player.exe", "player two"},
                       {"kelvadon_studio.exe", "studio"},
                       {"extra.pak", "new in three"}};
  const auto publish = [&](const std::string& version, const Files& files) {
    const fs::path client = scratch_ / "clients" / version;
    WriteFiles(client, files);
    std::string output;
    ASSERT_TRUE(PublishVersion(client, version, web_, {}, output)) << output;
  };
  publish("1.0", one);
  ASSERT_TRUE(Run().ready);
  publish("2.0", two);
  ASSERT_TRUE(Run().ready);
  publish("1.0", one);
  ASSERT_TRUE(Run().ready);  // back to 1.0; 2.0 is kept
  publish("3.0", three);
  // The player comes from 2.0, the studio from 1.0: only the new file is fetched.
  FetchLog log;
  const UpdateResult result = Run(&log);
  ASSERT_TRUE(result.ready) << result.error;
  EXPECT_EQ(log.urls, (std::vector<std::string>{std::string(kTestWebsite) + "/client/manifest.json",
                                                std::string(kTestWebsite) + "/client/manifest.sig",
                                                std::string(kTestWebsite) + "/client/files/" +
                                                    Sha256Hex("new in three")}));
  for (const auto& [path, bytes] : three) {
    EXPECT_EQ(ReadBytes(versions_ / "3.0" / path), bytes) << path;
  }

  // A kept copy altered on disk is checked, found wrong and fetched instead.
  publish("4.0", {{"kelvadon_player.exe", "player one"},
                  {"kelvadon_studio.exe", "studio"},
                  {"extra.pak", "new in three"}});
  WriteFiles(versions_ / "1.0", {{"kelvadon_player.exe", "player 0ne"}});
  FetchLog again;
  ASSERT_TRUE(Run(&again).ready);
  EXPECT_EQ(again.urls.size(), 3u);
  EXPECT_EQ(again.urls.back(),
            std::string(kTestWebsite) + "/client/files/" + Sha256Hex("player one"));
  EXPECT_EQ(ReadBytes(versions_ / "4.0" / "kelvadon_player.exe"), "player one");
}

}  // namespace
