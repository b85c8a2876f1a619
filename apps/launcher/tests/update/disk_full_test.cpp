// Updates onto a small file system of its own (a tmpfs mounted for the test): one refused before
// anything is fetched because it cannot fit, and one whose disk fills up part way through a
// download because another program takes the space. Linux only; skipped where mounting is not
// allowed.
#include <sys/mount.h>
#include <sys/statvfs.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <string>

#include "files/disk_space.h"
#include "tests/update/test_website.h"
#include "update/engine.h"
#include "update/store/install_root.h"

namespace fs = std::filesystem;

namespace {

using Files = std::map<std::string, std::string>;

constexpr uint64_t kMB = uint64_t{1024} * 1024;

class DiskFullTest : public testing::Test {
 protected:
  void SetUp() override {
    std::string reason;
    if (!CanPublish(reason)) GTEST_SKIP() << reason;
    scratch_ = MakeScratchFolder("kelvadon-disk-full-");
    ASSERT_FALSE(scratch_.empty());
    disk_ = scratch_ / "disk";
    fs::create_directories(disk_);
    if (mount("tmpfs", disk_.c_str(), "tmpfs", 0, "size=48m") != 0) {
      GTEST_SKIP() << "cannot mount a tmpfs here";
    }
    mounted_ = true;
    root_ = disk_ / "root";
    Publish("1.0", {{"kelvadon_player.exe", "player one"}, {"kelvadon_studio.exe", "studio"}});
    ASSERT_TRUE(Run().ready);
  }

  void TearDown() override {
    if (mounted_) umount2(disk_.c_str(), MNT_DETACH);
    std::error_code ec;
    if (!scratch_.empty()) fs::remove_all(scratch_, ec);
  }

  void Publish(const std::string& version, const Files& files) {
    const fs::path client = scratch_ / "clients" / version;
    WriteFiles(client, files);
    std::string output;
    ASSERT_TRUE(PublishVersion(client, version, scratch_ / "web", {}, output)) << output;
  }

  UpdateResult Run(const HttpFetcher& fetch) {
    return UpdateInstallation(
        kTestWebsite, root_, [](const std::string&, double) {}, WithFetch(fetch));
  }
  UpdateResult Run() { return Run(FolderFetcher(scratch_ / "web", &log_)); }

  uint64_t Free() const {
    struct statvfs status = {};
    statvfs(disk_.c_str(), &status);
    return static_cast<uint64_t>(status.f_bavail) * status.f_frsize;
  }

  fs::path scratch_;
  fs::path disk_;
  fs::path root_;
  bool mounted_ = false;
  FetchLog log_;
};

TEST_F(DiskFullTest, AnUpdateThatCannotFitIsRefusedBeforeAnythingIsFetched) {
  const std::string big(40 * kMB, 'b');
  Publish("2.0", {{"kelvadon_player.exe", "player one"},
                  {"kelvadon_studio.exe", "studio"},
                  {"data/big.pak", big}});
  log_.urls.clear();
  const uint64_t free = Free();
  const UpdateResult result = Run();
  EXPECT_FALSE(result.ready);
  const uint64_t manifests = fs::file_size(scratch_ / "web" / "client" / "manifest.json") + 64;
  // The files copied from 1.0 are written too.
  const uint64_t unwritten = big.size() + 10 + 6 + manifests;
  EXPECT_EQ(result.error, NoRoomText(unwritten + RoomMargin(unwritten), free));
  EXPECT_EQ(result.error, "The disk is too full: Kelvadon needs 49 MB and only 47 MB is free");
  EXPECT_EQ(log_.urls,
            (std::vector<std::string>{std::string(kTestWebsite) + "/client/manifest.json",
                                      std::string(kTestWebsite) + "/client/manifest.sig"}));
  EXPECT_EQ(CurrentVersionFolder(root_), root_ / "Versions" / "1.0");
}

TEST_F(DiskFullTest, ADiskThatFillsUpPartWayFailsTheWrite) {
  // Random bytes, which the website keeps unpacked: the big file arrives at its own size.
  std::string big(20 * kMB, '\0');
  std::mt19937 random(2);
  for (char& c : big) c = static_cast<char>(random());
  Publish("2.0", {{"kelvadon_player.exe", "player two"},
                  {"kelvadon_studio.exe", "studio"},
                  {"data/big.pak", big}});
  const fs::path filler = disk_ / "filler";
  const HttpFetcher folder = FolderFetcher(scratch_ / "web");
  // Once the big file has begun to arrive, another program takes all but a little of the space.
  const HttpFetcher fetch = [&](HttpSession& session, const HttpRequest& request,
                                const BodySink& sink, std::string& error, bool& responded) {
    bool filled = false;
    return folder(
        session, request,
        [&](const char* data, size_t size) {
          if (!filled && request.expectedSize == big.size()) {
            filled = true;
            std::ofstream out(filler, std::ios::binary);
            const std::string block(kMB / 4, 'f');
            while (Free() > kMB / 4 && out.write(block.data(), block.size())) {
            }
          }
          return sink(data, size);
        },
        error, responded);
  };
  const UpdateResult result = Run(fetch);
  EXPECT_FALSE(result.ready);
  EXPECT_EQ(result.error, "Couldn't write " +
                              (root_ / "Versions" / "2.0.partial" / "data" / "big.pak").string() +
                              " (is the disk full?)");
  EXPECT_EQ(CurrentVersionFolder(root_), root_ / "Versions" / "1.0");
  // The half-written file went, so the space it took is the user's again.
  EXPECT_FALSE(fs::exists(root_ / "Versions" / "2.0.partial" / "data" / "big.pak"));

  fs::remove(filler);
  const UpdateResult again = Run();
  EXPECT_TRUE(again.ready) << again.error;
  EXPECT_EQ(CurrentVersionFolder(root_), root_ / "Versions" / "2.0");
}

}  // namespace
