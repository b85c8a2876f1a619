// The publisher's part of a release as a release engineer repeats it: a dry run that promises what
// the publish then does, a finished publish run again, and a website pruned down to what the
// launchers of its kept versions can still ask for.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "chunker.h"
#include "json/json.h"
#include "publisher.h"
#include "publisher_test_support.h"
#include "tests/update/test_website.h"
#include "update/engine.h"

namespace fs = std::filesystem;

namespace {

using Files = std::map<std::string, std::string>;

class ReleaseFlowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string reason;
    if (!CanPublish(reason)) GTEST_SKIP() << reason;
    scratch_ = MakeScratchFolder("kelvadon-release-flow-test-");
    ASSERT_FALSE(scratch_.empty());
    web_ = scratch_ / "www";
    fs::create_directories(web_);
    PublicKey key{};
    std::string error;
    ASSERT_TRUE(ReadReleaseKeyFile(KELVADON_TEST_RELEASE_KEY_FILE, key, error)) << error;
    keyRecord_ = ReleaseKeyRecord(key);
  }

  void TearDown() override {
    std::error_code ec;
    fs::remove_all(scratch_, ec);
  }

  // publish of the files as version, with a launcher of the given edition and the extra options.
  Result Publish(const std::string& version, const Files& files, int launcherEdition,
                 const std::vector<std::string>& extra = {}) {
    const fs::path client = scratch_ / "clients" / version;
    fs::remove_all(client);
    WriteFiles(client, files);
    const fs::path launcher =
        scratch_ / "launchers" / std::to_string(launcherEdition) / "KelvadonLauncher.exe";
    WriteFiles(launcher.parent_path(),
               {{launcher.filename().string(),
                 "MZ edition " + std::to_string(launcherEdition) + keyRecord_}});
    std::vector<std::string> args = PublishCommand(client, version, web_, launcher);
    args.insert(args.end(), extra.begin(), extra.end());
    return RunTool(args);
  }

  UpdateResult FreshInstall(const std::string& name) {
    return UpdateInstallation(
        kTestWebsite, scratch_ / "installs" / name, [](const std::string&, double) {},
        WithFetch(FolderFetcher(web_)));
  }

  size_t FilesInStore() const {
    std::error_code ec;
    const fs::directory_iterator files(web_ / "client" / "files", ec);
    return ec ? 0 : static_cast<size_t>(std::distance(begin(files), end(files)));
  }

  fs::path scratch_;
  fs::path web_;
  std::string keyRecord_;
};

JsonValue Parsed(const std::string& text) {
  try {
    return ParseJson(text);
  } catch (const std::exception& e) {
    ADD_FAILURE() << e.what() << " in " << text;
    return {};
  }
}

double Number(const JsonValue& object, std::string_view name) {
  const JsonValue* member = FindMember(object, name);
  return member != nullptr ? member->number : -1;
}

// What a dry run promises, a publish does, on a new website and on one with a version on it:
// the same figures, the launcher counted among the new files.
TEST_F(ReleaseFlowTest, ADryRunCountsWhatThePublishThenWrites) {
  struct Case {
    const char* version;
    Files files;
    int launcher;
    double newInStore;
  };
  const Case cases[] = {
      {"1.0", {{"kelvadon_player.exe", "p1"}, {"kelvadon_studio.exe", "s1"}}, 1, 3},
      {"1.1", {{"kelvadon_player.exe", "p2"}, {"kelvadon_studio.exe", "s1"}}, 2, 2},
      {"1.2", {{"kelvadon_player.exe", "p2"}, {"kelvadon_studio.exe", "s1"}}, 2, 0},
      // A file big enough for a chunk list, and packing well: its list, packed object and packed
      // list are new files in client/files too.
      {"1.3",
       {{"kelvadon_player.exe", "p2"},
        {"kelvadon_studio.exe", "s1"},
        {"pack.dat", std::string(size_t{9} << 20, 'k')}},
       2,
       4},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.version);
    const Result dryText = Publish(c.version, c.files, c.launcher, {"--dry-run"});
    const Result dry = Publish(c.version, c.files, c.launcher, {"--dry-run", "--json"});
    const size_t before = FilesInStore();
    const Result real = Publish(c.version, c.files, c.launcher, {"--json"});
    ASSERT_EQ(real.code, 0) << real.err;
    EXPECT_EQ(FilesInStore() - before, static_cast<size_t>(c.newInStore));
    const std::string count = "(" + std::to_string(static_cast<int>(c.newInStore)) + " new in";
    EXPECT_NE(dryText.out.find(count), std::string::npos) << dryText.out;
    const JsonValue promised = Parsed(dry.out);
    const JsonValue done = Parsed(real.out);
    EXPECT_EQ(Number(done, "newInStore"), c.newInStore) << real.out;
    std::string sameAsDone = dry.out;
    sameAsDone.replace(sameAsDone.find("\"dryRun\": true"), 14, "\"dryRun\": false");
    EXPECT_EQ(sameAsDone, real.out);
    ASSERT_NE(FindMember(done, "launcher"), nullptr);
    EXPECT_EQ(FindMember(*FindMember(done, "launcher"), "signing")->text, "unsigned");
  }
}

// A finished publish run again leaves the manifest as it is: no new sequence, nothing to upload.
TEST_F(ReleaseFlowTest, AFinishedPublishRunAgainChangesNothing) {
  const Files files = {{"kelvadon_player.exe", "p"}, {"kelvadon_studio.exe", "s"}};
  ASSERT_EQ(Publish("1.0", files, 1, {"--expires-in", "30"}).code, 0);
  const std::string manifest = Read(web_ / "client" / "manifest.json");
  const std::string signature = Read(web_ / "client" / "manifest.sig");
  struct Case {
    std::vector<std::string> extra;
    int launcher;
    bool unchanged;
  };
  const Case cases[] = {
      {{"--expires-in", "30"}, 1, true},
      {{}, 1, false},  // dropping the expiry is a change
      {{"--expires-in", "30"}, 2, false},
  };
  for (const Case& c : cases) {
    std::vector<std::string> args = c.extra;
    args.push_back("--dry-run");
    const Result result = Publish("1.0", files, c.launcher, args);
    EXPECT_EQ(result.code, 0) << result.err;
    EXPECT_EQ(result.out.find("is already published as sequence 1 with these files and this "
                              "launcher; nothing was changed.") != std::string::npos,
              c.unchanged)
        << result.out;
  }
  const Result again = Publish("1.0", files, 1, {"--expires-in", "30"});
  EXPECT_EQ(again.code, 0) << again.err;
  EXPECT_EQ(Read(web_ / "client" / "manifest.json"), manifest);
  EXPECT_EQ(Read(web_ / "client" / "manifest.sig"), signature);
}

// After prune --keep 2 every kept version installs from the website alone, and every file,
// launcher and chunk list it names is still there; the oldest version's own files are gone.
TEST_F(ReleaseFlowTest, PruneKeepsWhatEveryKeptVersionNeeds) {
  std::string pack(kChunkedFileThreshold, '\0');
  for (size_t i = 0; i < pack.size(); ++i) pack[i] = static_cast<char>((i * 2654435761u) >> 13);
  const std::vector<std::pair<std::string, Files>> versions = {
      {"1",
       {{"kelvadon_player.exe", "p1"},
        {"kelvadon_studio.exe", "s"},
        {"old.dat", "gone"},
        {"old.txt", std::string(4096, 'o')}}},
      {"2", {{"kelvadon_player.exe", "p2"}, {"kelvadon_studio.exe", "s"}, {"world.pak", pack}}},
      {"3", {{"kelvadon_player.exe", "p3"}, {"kelvadon_studio.exe", "s"}}},
      {"4", {{"kelvadon_player.exe", "p1"}, {"kelvadon_studio.exe", "s"}}},
  };
  for (size_t i = 0; i < versions.size(); ++i) {
    const Result published = Publish(versions[i].first, versions[i].second, static_cast<int>(i));
    ASSERT_EQ(published.code, 0) << published.err;
  }
  const fs::path store = web_ / "client" / "files";
  const std::vector<std::string> prune = {"prune", "--website", web_.string(), "--keep", "2"};
  std::vector<std::string> dryArgs = prune;
  dryArgs.insert(dryArgs.end(), {"--dry-run", "--json"});
  const Result dry = RunTool(dryArgs);
  ASSERT_EQ(dry.code, 0) << dry.err;
  EXPECT_TRUE(fs::exists(store / Sha256Hex("gone")));
  const Result pruned = RunTool(prune);
  ASSERT_EQ(pruned.code, 0) << pruned.err;
  // Version 1's own files, the packed object of one, and its launcher go; its player lives on in
  // version 4.
  EXPECT_EQ(Number(Parsed(dry.out), "unneededFiles"), 4) << dry.out;
  EXPECT_NE(pruned.out.find("Removed 4 files"), std::string::npos) << pruned.out;
  EXPECT_FALSE(fs::exists(store / Sha256Hex("gone")));
  EXPECT_TRUE(fs::exists(store / Sha256Hex("p1")));

  for (const std::string version : {"4", "3", "2"}) {
    SCOPED_TRACE(version);
    std::string output;
    Manifest manifest;
    const std::string record = Read(web_ / "client" / "versions" / (version + ".json"));
    ASSERT_TRUE(ParseManifestContent(record, manifest, output)) << output;
    ASSERT_TRUE(PublishManifestText(web_, record, output)) << output;
    const UpdateResult installed = FreshInstall(version);
    EXPECT_TRUE(installed.ready) << installed.error;
    std::vector<std::string> names = {manifest.launcher.sha256};
    for (const ManifestFile& file : manifest.files) {
      names.push_back(file.sha256);
      for (const std::string& name : {file.chunks, file.packed.sha256, file.packed.chunks}) {
        if (!name.empty()) names.push_back(name);
      }
    }
    // Version 2's pack (last by path) packs, so its packed object and list must stay too.
    EXPECT_TRUE(version != "2" || !manifest.files.back().packed.chunks.empty());
    for (const std::string& name : names) EXPECT_TRUE(fs::exists(store / name)) << name;
  }
}

}  // namespace
