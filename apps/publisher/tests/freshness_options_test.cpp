// kelvadon-publish's sequence and expiry: publish, refresh and verify.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "files/file_io.h"
#include "publisher.h"
#include "publisher_test_support.h"
#include "update/trust/freshness.h"

namespace fs = std::filesystem;

namespace {

constexpr int64_t kDay = 86400;

class FreshnessOptionsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "kelvadon-freshness-XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    root_ = pattern;
    privateKey_ = root_ / "release-private.pem";
    releaseKey_ = root_ / "release.key";
    ASSERT_EQ(RunTool({"keygen", "--private-key", privateKey_.string(), "--release-key",
                       releaseKey_.string()})
                  .code,
              0);
    client_ = root_ / "client";
    website_ = root_ / "www";
    fs::create_directories(website_);
    ASSERT_TRUE(WriteWholeFile(client_ / "kelvadon_player.exe", "player bytes"));
    ASSERT_TRUE(WriteWholeFile(client_ / "kelvadon_studio.exe", "studio bytes"));
  }

  void TearDown() override { RemovePathTree(root_); }

  Result Publish(const std::string& version, std::vector<std::string> extra = {}) {
    std::vector<std::string> args = {
        "publish",       "--client",           client_.string(), "--version",      version,
        "--private-key", privateKey_.string(), "--website",      website_.string()};
    args.insert(args.end(), extra.begin(), extra.end());
    return RunTool(args);
  }

  Result Refresh(std::vector<std::string> extra) {
    std::vector<std::string> args = {"refresh", "--private-key", privateKey_.string(), "--website",
                                     website_.string()};
    args.insert(args.end(), extra.begin(), extra.end());
    return RunTool(args);
  }

  Result Verify() {
    return RunTool(
        {"verify", "--website", website_.string(), "--release-key", releaseKey_.string()});
  }

  // The website's manifest, checked against the release key as a launcher checks it.
  Manifest Current() {
    PublicKey key{};
    std::string error;
    EXPECT_TRUE(ReadReleaseKeyFile(releaseKey_, key, error)) << error;
    Manifest manifest;
    EXPECT_TRUE(
        ParseManifestWithKey(key, Read(ManifestFile()), Read(SignatureFile()), manifest, error))
        << error;
    return manifest;
  }

  fs::path ManifestFile() const { return website_ / "client" / kManifestFileName; }
  fs::path SignatureFile() const { return website_ / "client" / kSignatureFileName; }

  std::set<std::string> StoredFiles() const {
    std::set<std::string> names;
    for (const auto& entry : fs::directory_iterator(website_ / "client" / "files")) {
      names.insert(entry.path().filename().string());
    }
    return names;
  }

  // Signs text of the test's making as the website's manifest.
  void PutSigned(const std::string& json) {
    SigningKey key;
    std::string signature;
    std::string error;
    ASSERT_TRUE(LoadSigningKey(privateKey_, key, error)) << error;
    ASSERT_TRUE(SignBytes(key, json, signature, error)) << error;
    ASSERT_TRUE(WriteWholeFile(ManifestFile(), json));
    ASSERT_TRUE(WriteWholeFile(SignatureFile(), signature));
  }

  fs::path root_, privateKey_, releaseKey_, client_, website_;
};

TEST_F(FreshnessOptionsTest, PublishRefreshAndVerifyCarryBothMembers) {
  const Result first = Publish("1.0");
  ASSERT_EQ(first.code, 0) << first.err;
  EXPECT_NE(first.out.find("Published version 1.0 as sequence 1:"), std::string::npos) << first.out;
  EXPECT_EQ(Current().sequence, 1u);
  EXPECT_FALSE(Current().expires);
  EXPECT_EQ(Read(ManifestFile()).find("expires"), std::string::npos);
  Result verified = Verify();
  EXPECT_EQ(verified.code, 0) << verified.err;
  EXPECT_NE(verified.out.find("; sequence 1, no expiry."), std::string::npos) << verified.out;

  int64_t before = SystemUtcSeconds();
  const Result expiring = Publish("1.1", {"--expires-in", "30"});
  int64_t after = SystemUtcSeconds();
  ASSERT_EQ(expiring.code, 0) << expiring.err;
  Manifest manifest = Current();
  EXPECT_EQ(manifest.sequence, 2u);
  ASSERT_TRUE(manifest.expires);
  EXPECT_GE(*manifest.expires, before + 30 * kDay);
  EXPECT_LE(*manifest.expires, after + 30 * kDay);
  const std::string expiry = FormatUtcTime(*manifest.expires);
  EXPECT_NE(Read(ManifestFile()).find("\"expires\": \"" + expiry + "\""), std::string::npos);
  EXPECT_NE(expiring.out.find("as sequence 2, expiring at " + expiry), std::string::npos)
      << expiring.out;
  verified = Verify();
  EXPECT_EQ(verified.code, 0) << verified.err;
  EXPECT_NE(verified.out.find("; sequence 2, expires " + expiry + "."), std::string::npos)
      << verified.out;

  // A refresh signs the same version and files again, with a new sequence and expiry.
  const std::set<std::string> stored = StoredFiles();
  before = SystemUtcSeconds();
  const Result refreshed = Refresh({"--expires-in", "90"});
  after = SystemUtcSeconds();
  ASSERT_EQ(refreshed.code, 0) << refreshed.err;
  const Manifest renewed = Current();
  EXPECT_EQ(renewed.version, "1.1");
  EXPECT_EQ(renewed.sequence, 3u);
  ASSERT_TRUE(renewed.expires);
  EXPECT_GE(*renewed.expires, before + 90 * kDay);
  EXPECT_LE(*renewed.expires, after + 90 * kDay);
  ASSERT_EQ(renewed.files.size(), manifest.files.size());
  for (size_t i = 0; i < renewed.files.size(); ++i) {
    EXPECT_EQ(renewed.files[i].path, manifest.files[i].path);
    EXPECT_EQ(renewed.files[i].sha256, manifest.files[i].sha256);
  }
  EXPECT_EQ(StoredFiles(), stored);
  EXPECT_EQ(Read(website_ / "client" / "versions" / "1.1.json"), Read(ManifestFile()));
  EXPECT_EQ(Verify().code, 0);

  // A deliberate rollback goes back to the old files, and forward in sequence.
  const Result rollback = Publish("1.0");
  ASSERT_EQ(rollback.code, 0) << rollback.err;
  EXPECT_EQ(Current().version, "1.0");
  EXPECT_EQ(Current().sequence, 4u);
  EXPECT_FALSE(Current().expires);
}

TEST_F(FreshnessOptionsTest, NeverGoesBackwards) {
  ASSERT_EQ(Publish("1.0").code, 0);
  const std::string oldJson = Read(ManifestFile());
  const std::string oldSignature = Read(SignatureFile());
  ASSERT_EQ(Publish("1.1", {"--sequence", "10"}).code, 0);
  EXPECT_EQ(Current().sequence, 10u);

  struct Case {
    std::vector<std::string> args;  // after the command's own
    bool refresh;
    int code;
    const char* expected;
  };
  const Case cases[] = {
      {{"--sequence", "10"},
       false,
       1,
       "would go backwards: this website has already published "
       "sequence 10"},
      {{"--sequence", "9"}, false, 1, "would go backwards"},
      {{"--sequence", "0"}, false, 1, "would go backwards"},
      {{"--sequence", "-11"}, false, 1, "--sequence takes a whole number"},
      {{"--sequence", "11.5"}, false, 1, "--sequence takes a whole number"},
      {{"--sequence", "9007199254740992"}, false, 1, "--sequence takes a whole number"},
      {{"--sequence", "eleven"}, false, 1, "--sequence takes a whole number"},
      {{"--expires-in", "0"}, false, 1, "--expires-in takes a whole number of days"},
      {{"--expires-in", "3651"}, false, 1, "--expires-in takes a whole number of days"},
      {{"--expires-in", "1.5"}, false, 1, "--expires-in takes a whole number of days"},
      {{"--expires-in", "7", "--sequence", "3"}, true, 1, "would go backwards"},
      {{}, true, 2, "refresh needs --expires-in"},
      {{"--expires-in", "-1"}, true, 1, "--expires-in takes a whole number of days"},
  };
  const std::string json = Read(ManifestFile());
  for (const Case& c : cases) {
    SCOPED_TRACE(c.expected);
    const Result result = c.refresh ? Refresh(c.args) : Publish("1.2", c.args);
    EXPECT_EQ(result.code, c.code);
    EXPECT_NE(result.err.find(c.expected), std::string::npos) << result.err;
    EXPECT_EQ(Read(ManifestFile()), json);
  }

  // An older manifest put back on the website (a restored copy) does not pull the number back:
  // the records know sequence 10 was published. verify points the stale manifest out.
  ASSERT_TRUE(WriteWholeFile(ManifestFile(), oldJson));
  ASSERT_TRUE(WriteWholeFile(SignatureFile(), oldSignature));
  const Result stale = Verify();
  EXPECT_EQ(stale.code, 1);
  EXPECT_NE(stale.err.find("has sequence 1, but sequence 10 was already published"),
            std::string::npos)
      << stale.err;
  ASSERT_EQ(Publish("1.2").code, 0);
  EXPECT_EQ(Current().sequence, 11u);
}

TEST_F(FreshnessOptionsTest, RefusesToRefreshWhatItCannotTrust) {
  EXPECT_NE(Refresh({"--expires-in", "7"}).err.find("There is no"), std::string::npos);
  ASSERT_EQ(Publish("1.0").code, 0);

  // Signed by another key: refreshing would sign what this key never published.
  const fs::path otherPrivate = root_ / "other.pem";
  ASSERT_EQ(RunTool({"keygen", "--private-key", otherPrivate.string(), "--release-key",
                     (root_ / "other.key").string()})
                .code,
            0);
  const fs::path ownKey = privateKey_;
  privateKey_ = otherPrivate;
  const Result otherKey = Refresh({"--expires-in", "7"});
  EXPECT_EQ(otherKey.code, 1);
  EXPECT_NE(otherKey.err.find("not signed with this key"), std::string::npos) << otherKey.err;
  privateKey_ = ownKey;

  // A manifest the launcher would refuse is not refreshed either.
  std::string json = Read(ManifestFile());
  const size_t at = json.find("\"sequence\": 1,");
  ASSERT_NE(at, std::string::npos) << json;
  PutSigned(json.replace(at, 14, "\"sequence\": 1.5,"));
  const Result refused = Refresh({"--expires-in", "7"});
  EXPECT_EQ(refused.code, 1);
  EXPECT_NE(refused.err.find("cannot be refreshed"), std::string::npos) << refused.err;
}

TEST_F(FreshnessOptionsTest, VerifySaysWhenTheManifestHasExpired) {
  ASSERT_EQ(Publish("1.0").code, 0);
  std::string json = Read(ManifestFile());
  const std::string sequence = "\"sequence\": 1,";
  const size_t at = json.find(sequence);
  ASSERT_NE(at, std::string::npos) << json;
  json.insert(at + sequence.size(), "\n  \"expires\": \"2001-02-03T04:05:06Z\",");
  PutSigned(json);
  const Result result = Verify();
  EXPECT_EQ(result.code, 1);
  EXPECT_NE(result.err.find("expired at 2001-02-03T04:05:06Z"), std::string::npos) << result.err;
  EXPECT_NE(result.err.find("refresh"), std::string::npos) << result.err;
  // refresh is the way out.
  ASSERT_EQ(Refresh({"--expires-in", "7"}).code, 0);
  EXPECT_EQ(Verify().code, 0);
  EXPECT_EQ(Current().sequence, 2u);
}

}  // namespace
