// verify --url against the test website: nginx serving published folders through the hosting
// recipe in deploy/nginx.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "differ.h"
#include "files/file_io.h"
#include "publisher.h"
#include "publisher_test_support.h"
#include "update/trust/crypto.h"
#include "update/trust/packed.h"
#include "website_harness.h"

namespace fs = std::filesystem;

namespace {

class LiveWebsiteTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string error;
    ASSERT_TRUE(LoadTestWebsite(site_, error)) << error;
    std::string pattern = (fs::temp_directory_path() / "kelvadon-live-test-XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    scratch_ = pattern;
    privateKey_ = scratch_ / "release-private.pem";
    releaseKey_ = scratch_ / "release.key";
    ASSERT_EQ(RunTool({"keygen", "--private-key", privateKey_.string(), "--release-key",
                       releaseKey_.string()})
                  .code,
              0);
  }

  void TearDown() override {
    RemovePathTree(scratch_);
    for (const fs::path& folder : scenarios_) RemovePathTree(folder);
  }

  // Publishes a client of the given files into a scenario folder of its own; returns its name.
  std::string Publish(const std::string& scenario, const std::vector<std::string>& files,
                      const std::string& version = "1.0", const std::string& launcher = {}) {
    const fs::path client = scratch_ / ("client-" + scenario + "-" + version);
    for (size_t i = 0; i < files.size(); ++i) {
      const std::string name = i == 0   ? "kelvadon_player.exe"
                               : i == 1 ? "kelvadon_studio.exe"
                                        : "data/file" + std::to_string(i) + ".dat";
      EXPECT_TRUE(WriteWholeFile(client / name, files[i]));
    }
    const fs::path www = site_.root / ("live-" + scenario);
    fs::create_directories(www);
    scenarios_.push_back(www);
    std::vector<std::string> args = {
        "publish",       "--client",           client.string(), "--version", version,
        "--private-key", privateKey_.string(), "--website",     www.string()};
    if (!launcher.empty()) {
      const fs::path file = scratch_ / ("launcher-" + scenario) / "KelvadonLauncher.exe";
      EXPECT_TRUE(WriteWholeFile(file, launcher));
      args.insert(args.end(), {"--launcher", file.string()});
    }
    const Result published = RunTool(args);
    EXPECT_EQ(published.code, 0) << published.err;
    return "live-" + scenario;
  }

  Result Verify(const std::string& scenario, bool full) {
    std::vector<std::string> args = {"verify", "--url", site_.http + "/" + scenario,
                                     "--release-key", releaseKey_.string()};
    if (full) args.push_back("--full");
    return RunTool(args);
  }

  fs::path Folder(const std::string& scenario) const { return site_.root / scenario; }

  // Where the scenario stores the packed object of the file at path.
  fs::path PackedObject(const std::string& scenario, const std::string& path) const {
    Manifest manifest;
    std::string error;
    EXPECT_TRUE(
        ParseManifestContent(Read(Folder(scenario) / "client" / "manifest.json"), manifest, error))
        << error;
    for (const ManifestFile& file : manifest.files) {
      if (file.path == path) return Folder(scenario) / "client" / "files" / file.packed.sha256;
    }
    return {};
  }

  TestWebsite site_;
  fs::path scratch_, privateKey_, releaseKey_;
  std::vector<fs::path> scenarios_;
};

TEST_F(LiveWebsiteTest, SaysWhatPlayersWouldGetWrong) {
  const std::string player = "player bytes";
  const std::string studio = "studio bytes, a few more of them";
  const std::string level = std::string(5000, 'l') + "level";  // packs
  struct Case {
    const char* name;
    std::function<std::string()> make;  // publishes and breaks; returns the scenario (or a path)
    bool full;
    int code;
    std::string expected;  // in the output
  };
  const Case cases[] = {
      {"a good website",
       [&] {
         return Publish("good", {player, studio});
       },
       false, 0, "Good: "},
      {"a good website, fetched whole",
       [&] {
         return Publish("good-full", {player, studio});
       },
       true, 0, "every file fetched whole"},
      {"a missing file",
       [&] {
         const std::string s = Publish("missing", {player, studio});
         fs::remove(Folder(s) / "client" / "files" / Sha256Hex(studio));
         return s;
       },
       false, 1, "client/files/" + Sha256Hex(studio) + " (kelvadon_studio.exe) is missing"},
      {"a file of the wrong size",
       [&] {
         const std::string s = Publish("short", {player, studio});
         EXPECT_TRUE(WriteWholeFile(Folder(s) / "client" / "files" / Sha256Hex(player), "player"));
         return s;
       },
       false, 1, "has 6 bytes, but the manifest says 12"},
      {"one wrong byte, fetched whole",
       [&] {
         const std::string s = Publish("wrong-byte", {player, studio});
         EXPECT_TRUE(WriteWholeFile(Folder(s) / "client" / "files" / Sha256Hex(studio),
                                    "studio bytes, a few more of thex"));
         return s;
       },
       true, 1, "(kelvadon_studio.exe) does not hold the file its name promises"},
      {"a missing packed object",
       [&] {
         const std::string s = Publish("no-packed", {player, studio, level});
         fs::remove(PackedObject(s, "data/file2.dat"));
         return s;
       },
       false, 1, " (the packed object of data/file2.dat) is missing"},
      {"a damaged packed object, fetched whole",
       [&] {
         const std::string s = Publish("damaged-packed", {player, studio, level});
         EXPECT_TRUE(WriteWholeFile(PackedObject(s, "data/file2.dat"), "not zlib"));
         return s;
       },
       true, 1, "the packed object of data/file2.dat, does not hold what its name promises"},
      {"a stale signature",
       [&] {
         const std::string s = Publish("stale", {player, studio});
         const std::string old = Read(Folder(s) / "client" / "manifest.sig");
         Publish("stale", {player, studio + "!"}, "1.1");
         EXPECT_TRUE(WriteWholeFile(Folder(s) / "client" / "manifest.sig", old));
         return s;
       },
       false, 1, "client/manifest.sig does not verify the manifest served beside it: it is stale"},
      {"a good website names its sequence and expiry",
       [&] {
         return Publish("sequence", {player, studio});
       },
       false, 0, "; sequence 1, no expiry."},
      {"an expired manifest",
       [&] {
         const std::string s = Publish("expired", {player, studio});
         const fs::path client = Folder(s) / "client";
         std::string json = Read(client / "manifest.json");
         json.insert(json.find("\n  \"files\""), "\n  \"expires\": \"2001-02-03T04:05:06Z\",");
         SigningKey key;
         std::string signature;
         std::string error;
         EXPECT_TRUE(LoadSigningKey(privateKey_, key, error)) << error;
         EXPECT_TRUE(SignBytes(key, json, signature, error)) << error;
         EXPECT_TRUE(WriteWholeFile(client / "manifest.json", json));
         EXPECT_TRUE(WriteWholeFile(client / "manifest.sig", signature));
         return s;
       },
       false, 1, "/client/manifest.json expired at 2001-02-03T04:05:06Z"},
      {"a website answering 404", [] { return std::string("live-nothing-here"); }, false, 1,
       "/live-nothing-here/client/manifest.json answered 404"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Result result = Verify(c.make(), c.full);
    const std::string output = result.out + result.err;
    EXPECT_NE(output.find(c.expected), std::string::npos) << output;
    EXPECT_EQ(result.code, c.code) << output;
    // The recipe serves the manifest revalidated and the files for a long time: no caching note
    // (only the one on plain HTTP, which the test website speaks).
    EXPECT_EQ(output.find("Cache-Control"), std::string::npos) << output;
  }
}

// A one-byte change that keeps the size passes the quick check; only --full finds it.
TEST_F(LiveWebsiteTest, OnlyTheFullCheckReadsEveryByte) {
  const std::string s = Publish("same-size", {"player bytes", "studio bytes"});
  ASSERT_TRUE(
      WriteWholeFile(Folder(s) / "client" / "files" / Sha256Hex("player bytes"), "player bytez"));
  EXPECT_EQ(Verify(s, false).code, 0);
  EXPECT_EQ(Verify(s, true).code, 1);
}

// The launcher the website hands out, and the key it carries.
TEST_F(LiveWebsiteTest, NamesTheKeyOfThePublishedLauncher) {
  PublicKey key{};
  std::string error;
  ASSERT_TRUE(ReadReleaseKeyFile(releaseKey_, key, error)) << error;
  const std::string s =
      Publish("launcher", {"player", "studio"}, "1.0", "MZ launcher" + ReleaseKeyRecord(key));
  for (const bool full : {false, true}) {
    const Result result = Verify(s, full);
    EXPECT_EQ(result.code, 0) << result.err;
    EXPECT_NE(result.out.find("and the launcher KelvadonLauncher.exe"), std::string::npos);
    EXPECT_NE(result.out.find("The published launcher carries " + KeyName(key) + "."),
              std::string::npos)
        << result.out;
    // The test website is plain HTTP, which no setup program should name.
    EXPECT_NE(result.err.find("is plain HTTP"), std::string::npos) << result.err;
  }
  const Result json = RunTool(
      {"verify", "--url", site_.http + "/" + s, "--release-key", releaseKey_.string(), "--json"});
  EXPECT_EQ(json.code, 0) << json.err;
  EXPECT_NE(json.out.find("\"good\": true, \"version\": \"1.0\", \"files\": 2"), std::string::npos)
      << json.out;
  EXPECT_NE(
      json.out.find("\"releaseKey\": \"" + KeyShortName(key) + "\", \"signing\": \"unsigned\""),
      std::string::npos)
      << json.out;
}

// Patches: their size on a quick check, their bytes applied to their base on a full one.
TEST_F(LiveWebsiteTest, ChecksPatchesBySizeOrApplied) {
  std::string program;
  for (int i = 0; program.size() < 100000; ++i)
    program += "entry " + std::to_string(i * 7919) + ";";
  const std::string rebuilt = Rebuilt(program, "new code");
  // Patched from a base of the program's size and layout, but other bytes.
  std::string other = program;
  for (size_t i = 0; i < other.size(); i += 100) other[i] = static_cast<char>(other[i] + 1);
  const std::string otherPatch = PackBytes(MakePatch(other, rebuilt));
  struct Case {
    const char* name;
    std::function<void(const fs::path& client, const PatchObject& patch)> damage;
    bool full;
    std::function<std::string(const PatchObject& patch)> expected;  // empty: good
  };
  const auto says = [](const std::string& text) {
    return [text](const PatchObject&) { return text; };
  };
  const Case cases[] = {
      {"good", [](const fs::path&, const PatchObject&) {}, true, says("")},
      {"a byte changed, fetched whole",
       [](const fs::path& client, const PatchObject& patch) {
         std::string object = Read(client / "files" / patch.sha256);
         object[object.size() / 2] ^= 1;
         Write(client / "files" / patch.sha256, object);
       },
       true, says("does not hold what its name promises")},
      {"cut short",
       [](const fs::path& client, const PatchObject& patch) {
         Write(client / "files" / patch.sha256, Read(client / "files" / patch.sha256).substr(1));
       },
       false,
       [](const PatchObject& patch) {
         return "(the patch of data/file2.dat from " + patch.from + ") has " +
                std::to_string(patch.size - 1) + " bytes, but the manifest says " +
                std::to_string(patch.size);
       }},
      {"a patch of other bytes, fetched whole",
       [&](const fs::path& client, const PatchObject& patch) {
         NameInstead(client, patch.sha256, otherPatch);
       },
       true, says("does not give the file's " + std::to_string(rebuilt.size()) + " bytes")},
  };
  int n = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string scenario = "patch" + std::to_string(++n);
    Publish(scenario, {"player", "studio", program});
    const std::string s = Publish(scenario, {"player", "studio", rebuilt}, "2.0");
    const fs::path client = Folder(s) / "client";
    Manifest manifest;
    std::string error;
    ASSERT_TRUE(ParseManifestContent(Read(client / "manifest.json"), manifest, error)) << error;
    ASSERT_EQ(manifest.files[0].patches.size(), 1u);
    const PatchObject patch = manifest.files[0].patches[0];
    c.damage(client, patch);
    const Result result = Verify(s, c.full);
    const std::string expected = c.expected(patch);
    EXPECT_EQ(result.code, expected.empty() ? 0 : 1) << result.err;
    EXPECT_NE(result.err.find(expected), std::string::npos) << result.err;
  }
}

// A long check says how far it is.
TEST_F(LiveWebsiteTest, ShowsProgressOnALongCheck) {
  std::vector<std::string> files;
  for (int i = 0; i < 210; ++i) files.push_back("file number " + std::to_string(i));
  const std::string s = Publish("many", files);
  const Result result = Verify(s, false);
  EXPECT_EQ(result.code, 0) << result.err;
  EXPECT_NE(result.err.find("checking 50% ("), std::string::npos) << result.err;
  EXPECT_NE(result.err.find("checking 100% (210 of 210 files)"), std::string::npos) << result.err;
}

}  // namespace
