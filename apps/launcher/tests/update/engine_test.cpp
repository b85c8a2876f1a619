// The engine through a fake fetcher, for what the test website cannot serve: manifests that
// kelvadon-publish refuses to make and websites without a valid release. The install and
// update cases themselves run against nginx in engine_website_test, in both builds.
#include "update/engine.h"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "tests/update/test_website.h"
#include "update/crypto.h"

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
    return UpdateInstallation(kTestWebsite, root_, reporter, FolderFetcher(web_, log));
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
    const UpdateResult result =
        UpdateInstallation(c.website, root_, reporter, FolderFetcher(web_), [] {});
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
    const HttpFetcher fetch = [&](const std::string& url, std::string& body, std::string& error,
                                  bool& responded, uint64_t expected,
                                  const DownloadProgress& progress) {
      order.push_back(url.substr(url.rfind('/') + 1));
      if (!url.ends_with("/client/manifest.sig")) {
        return served(url, body, error, responded, expected, progress);
      }
      ++signatureRequests;
      if (stale-- > 0) {
        body = oldSignature;
        responded = true;
        return true;
      }
      return served(url, body, error, responded, expected, progress);
    };
    std::vector<std::string> texts;
    const UpdateResult result = UpdateInstallation(
        kTestWebsite, root_, [&texts](const std::string& text, double) { texts.push_back(text); },
        fetch,
        [&pauses, &order] {
          ++pauses;
          order.push_back("pause");
        });
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

}  // namespace
