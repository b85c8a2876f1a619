#include "update/self_update.h"

#include <gtest/gtest.h>

#include <chrono>
#include <optional>
#include <string>

#include "files/file_io.h"
#include "tests/update/test_website.h"
#include "update/trust/crypto.h"

namespace fs = std::filesystem;
using namespace std::string_literals;

namespace {

const std::string kBuilt = "MZ\0\x90 the launcher as built"s;
const std::string kReleased = "MZ\0\x90 the released launcher"s;
const std::string kPlay = "0123456789abcdef0123456789abcdef";
const std::string kWebsiteStamp = "\r\nKELVADON-WEBSITE="s + kTestWebsite + "\r\n";

class SelfUpdateTest : public ::testing::Test {
 protected:
  void SetUp() override {
    scratch_ = MakeScratchFolder("kelvadon-self-update-test-");
    ASSERT_FALSE(scratch_.empty());
    root_ = scratch_ / "root";
    web_ = scratch_ / "web";
    own_ = scratch_ / "kelvadonsetup.exe";
    fs::create_directories(web_);
  }

  void TearDown() override {
    std::error_code ec;
    fs::remove_all(scratch_, ec);
  }

  // A manifest naming bytes as its launcher; the website serves served under their fingerprint.
  static Manifest WithLauncher(const std::string& bytes) {
    Manifest manifest;
    manifest.version = "1.0";
    manifest.launcher = {"KelvadonLauncher.exe", Sha256Hex(bytes), bytes.size()};
    return manifest;
  }

  void Serve(const std::string& fingerprintOf, const std::string& bytes) {
    WriteFiles(web_ / "client" / "files", {{Sha256Hex(fingerprintOf), bytes}});
  }

  bool Run(const std::string& website, const Manifest& manifest, std::string& error,
           FetchLog* log = nullptr) {
    UpdateEnvironment environment = WithFetch(FolderFetcher(web_, log));
    environment.ownImage = own_;
    return UpdateLauncherCopy(root_, website, manifest, true, environment, error);
  }

  fs::path scratch_;
  fs::path root_;
  fs::path web_;
  fs::path own_;
};

TEST_F(SelfUpdateTest, InstallsTheWantedImage) {
  struct Case {
    const char* name;
    std::string own;
    std::optional<std::string> launcher;  // named by the manifest
    std::optional<std::string> served;    // under the launcher's fingerprint
    std::string installed;
    std::string error;
    size_t fetches;
  };
  // Images larger than the tail the stamp is looked for in, and than a piece of a copy.
  std::string large(600 * 1024 + 5, '\0');
  for (size_t i = 0; i < large.size(); ++i) large[i] = static_cast<char>(i * 31 + (i >> 9));
  const std::string marker = "\r\nKELVADON-WEBSITE=http://compiled.in\r\n";
  const Case cases[] = {
      {"stamped setup with a play part", kBuilt + "\r\nKELVADON-PLAY=" + kPlay + kWebsiteStamp,
       std::nullopt, std::nullopt, kBuilt, "", 0},
      {"a large stamped setup", large + "\r\nKELVADON-PLAY=" + kPlay + kWebsiteStamp, std::nullopt,
       std::nullopt, large, "", 0},
      {"a large image with a marker too far from its end", large + marker + large, std::nullopt,
       std::nullopt, large + marker + large, "", 0},
      {"a large released launcher downloaded", kBuilt + kWebsiteStamp, large, large, large, "", 1},
      {"stamped setup without a play part", kBuilt + kWebsiteStamp, std::nullopt, std::nullopt,
       kBuilt, "", 0},
      {"stamped setup with a bad play part", kBuilt + "\r\nKELVADON-PLAY=nothex" + kWebsiteStamp,
       std::nullopt, std::nullopt, kBuilt + "\r\nKELVADON-PLAY=nothex", "", 0},
      {"unstamped", kBuilt, std::nullopt, std::nullopt, kBuilt, "", 0},
      {"running the released launcher", kBuilt + kWebsiteStamp, kBuilt, std::nullopt, kBuilt, "",
       0},
      {"released launcher downloaded", kBuilt + kWebsiteStamp, kReleased, kReleased, kReleased, "",
       1},
      {"released launcher with a wrong byte", kBuilt, kReleased, "MZ\0\x90 the released launchex"s,
       kBuilt, "The new launcher came out wrong", 1},
      {"released launcher missing", kBuilt, kReleased, std::nullopt, kBuilt, kTestNotFound, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove_all(root_);
    fs::remove_all(web_);
    fs::create_directories(web_);
    WriteFiles(scratch_, {{own_.filename().string(), c.own}});
    Manifest manifest;
    if (c.launcher) manifest = WithLauncher(*c.launcher);
    if (c.served) Serve(*c.launcher, *c.served);
    std::string error;
    FetchLog log;
    EXPECT_TRUE(Run(kTestWebsite, manifest, error, &log));
    EXPECT_EQ(error, c.error);
    EXPECT_EQ(log.urls.size(), c.fetches);
    EXPECT_EQ(ReadBytes(root_ / "KelvadonLauncher.exe"), c.installed);
    EXPECT_EQ(ReadBytes(root_ / "website.txt"), std::string(kTestWebsite) + "\n");
    EXPECT_FALSE(fs::exists(root_ / "KelvadonLauncher.old.exe"));
    EXPECT_FALSE(fs::exists(root_ / "KelvadonLauncher.exe.new"));
  }
}

TEST_F(SelfUpdateTest, ReplacesADifferentCopy) {
  WriteFiles(scratch_, {{own_.filename().string(), kBuilt}});
  WriteFiles(root_, {{"KelvadonLauncher.exe", "an older launcher"}});
  std::string error = "kept";
  EXPECT_TRUE(Run(kTestWebsite, Manifest(), error));
  EXPECT_EQ(error, "kept");
  EXPECT_EQ(ReadBytes(root_ / "KelvadonLauncher.exe"), kBuilt);
}

TEST_F(SelfUpdateTest, CurrentCopyIsNeitherWrittenNorMoved) {
  WriteFiles(scratch_, {{own_.filename().string(), kBuilt + kWebsiteStamp}});
  WriteFiles(root_, {{"KelvadonLauncher.exe", kBuilt},
                     {"KelvadonLauncher.old.exe", "from last time"},
                     {"website.txt", "http://old.test\n"}});
  const fs::path installed = root_ / "KelvadonLauncher.exe";
  // From the file's own time, so that its resolution keeps the value exact.
  const fs::file_time_type past = fs::last_write_time(installed) - std::chrono::hours(24);
  fs::last_write_time(installed, past);
  std::string error;
  // An empty website leaves website.txt as it is.
  EXPECT_TRUE(Run("", Manifest(), error));
  EXPECT_EQ(error, "");
  EXPECT_EQ(fs::last_write_time(installed), past);
  EXPECT_EQ(ReadBytes(installed), kBuilt);
  EXPECT_FALSE(fs::exists(root_ / "KelvadonLauncher.old.exe"));
  EXPECT_EQ(ReadBytes(root_ / "website.txt"), "http://old.test\n");
}

TEST_F(SelfUpdateTest, UnreadableOwnImageNeverReplacesTheCopy) {
  struct Case {
    const char* name;
    bool ownIsEmptyFile;
    bool copyExists;
  };
  const Case cases[] = {
      {"own image missing, copy installed", false, true},
      {"own image empty, copy installed", true, true},
      {"own image missing, nothing installed", false, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove_all(root_);
    fs::remove(own_);
    if (c.ownIsEmptyFile) WriteFiles(scratch_, {{own_.filename().string(), ""}});
    if (c.copyExists) WriteFiles(root_, {{"KelvadonLauncher.exe", kBuilt}});
    std::string error;
    EXPECT_TRUE(Run(kTestWebsite, Manifest(), error));
    EXPECT_EQ(error, "");
    EXPECT_EQ(fs::exists(root_ / "KelvadonLauncher.exe"), c.copyExists);
    if (c.copyExists) {
      EXPECT_EQ(ReadBytes(root_ / "KelvadonLauncher.exe"), kBuilt);
    }
  }
}

TEST_F(SelfUpdateTest, FailedWriteLeavesTheCopyWhole) {
  WriteFiles(scratch_, {{own_.filename().string(), kBuilt}});
  // A folder where the new image would be written first.
  WriteFiles(root_, {{"KelvadonLauncher.exe", "an older launcher"},
                     {"KelvadonLauncher.exe.new/x", "in the way"}});
  std::string error;
  EXPECT_FALSE(Run(kTestWebsite, Manifest(), error));
  EXPECT_EQ(error, "Couldn't write " + PathForMessage(root_ / "KelvadonLauncher.exe"));
  EXPECT_EQ(ReadBytes(root_ / "KelvadonLauncher.exe"), "an older launcher");
}

// website.txt is written only when it does not already hold the address.
TEST_F(SelfUpdateTest, WebsiteFileIsRewrittenOnlyWhenItDiffers) {
  WriteFiles(scratch_, {{own_.filename().string(), kBuilt}});
  const fs::path file = root_ / "website.txt";
  struct Case {
    const char* name;
    std::string before;
    bool rewritten;
  };
  const Case cases[] = {
      {"the same address", std::string(kTestWebsite) + "\n", false},
      {"another address", "http://old.test\n", true},
      {"the address without its line end", kTestWebsite, true},
      {"the address and more", std::string(kTestWebsite) + "\nx", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    WriteFiles(root_, {{"website.txt", c.before}});
    const fs::file_time_type past = fs::last_write_time(file) - std::chrono::hours(24);
    fs::last_write_time(file, past);
    std::string error;
    EXPECT_TRUE(Run(kTestWebsite, Manifest(), error));
    EXPECT_EQ(ReadBytes(file), std::string(kTestWebsite) + "\n");
    EXPECT_EQ(fs::last_write_time(file) != past, c.rewritten);
  }
}

// The helper under the launcher copy and the state files, in both builds.
TEST_F(SelfUpdateTest, ReplaceFileAtomically) {
  const fs::path file = scratch_ / "state.txt";
  EXPECT_TRUE(ReplaceFileAtomically(file, "one\n"));
  EXPECT_TRUE(ReplaceFileAtomically(file, "two\n"));
  EXPECT_EQ(ReadBytes(file), "two\n");
  EXPECT_FALSE(fs::exists(scratch_ / "state.txt.new"));

  // A non-empty folder of the target's name cannot be replaced; moving it aside when asked is
  // what lets a running file be replaced.
  const fs::path blocked = scratch_ / "blocked.exe";
  WriteFiles(blocked, {{"inside", "x"}});
  EXPECT_FALSE(ReplaceFileAtomically(blocked, "new"));
  EXPECT_TRUE(fs::is_directory(blocked));
  EXPECT_FALSE(fs::exists(scratch_ / "blocked.exe.new"));
  EXPECT_TRUE(ReplaceFileAtomically(blocked, "new", scratch_ / "blocked.old.exe"));
  EXPECT_EQ(ReadBytes(blocked), "new");
  EXPECT_TRUE(fs::exists(scratch_ / "blocked.old.exe" / "inside"));
}

}  // namespace
