// A complete version whose files were damaged behind the launcher's back, followed by a start
// (which compares sizes) or a full check (which compares fingerprints): what is put back, from
// where, and what a repair that cannot finish leaves. The same cases in both builds.
#include <gtest/gtest.h>

#include <functional>
#include <set>
#include <string>
#include <vector>

#include "files/file_io.h"
#include "tests/update/test_website.h"
#include "tests/update/website_scenario.h"
#include "update/engine.h"
#include "update/trust/crypto.h"

namespace fs = std::filesystem;

namespace {

const Files kVersionA = {{"kelvadon_player.exe", "player one"},
                         {"kelvadon_studio.exe", "studio one"},
                         {"bin/shared.dll", "shared library"}};
// The studio is unchanged, the library moved, and one file is new.
const Files kVersionB = {{"kelvadon_player.exe", "player two"},
                         {"kelvadon_studio.exe", "studio one"},
                         {"lib/shared.dll", "shared library"},
                         {"bin/new.dll", "only in two"}};

// The player's own files, beside the client's: never the repair's business.
const Files kPlayersFiles = {{"bin/settings.ini", "volume=3"}, {"saves/slot1.sav", "level 9"}};

std::string FilePath(const std::string& bytes) { return "/client/files/" + Sha256Hex(bytes); }

enum class Website { Up, Down, WithoutTheFile };

struct Case {
  const char* name;
  std::function<void(const fs::path& version)> damage;
  FileCheck check;
  Website website;
  // What the run then did: the files it asked the website for, how many it put back, and what the
  // path holds.
  bool ready;
  std::set<std::string> fetched;
  size_t putBack;
  std::string path;
  std::string bytes;  // empty: nothing there
  // A repair that cannot finish is worded as an update that failed: the player starts the
  // version they have, told why.
  std::string error = {};
};

void Write(const fs::path& path, const std::string& bytes) {
  fs::remove_all(path);
  WriteFiles(path.parent_path(), {{path.filename().string(), bytes}});
}

class RepairWebsiteTest : public WebsiteScenarioTest {};

TEST_F(RepairWebsiteTest, DamagedFilesArePutBackBeforeAnythingStarts) {
  Publish("1.0", kVersionA);
  ASSERT_TRUE(Run().ready);
  Publish("2.0", kVersionB);
  ASSERT_TRUE(Run().ready);
  WriteFiles(versions_ / "2.0", kPlayersFiles);
  const fs::path installed = scratch_ / "installed";
  fs::copy(root_, installed, fs::copy_options::recursive);

  const std::string changed = "only in twO";  // the same size as "only in two"
  const Case cases[] = {
      {"a file deleted",
       [](const fs::path& v) { fs::remove(v / "bin/new.dll"); },
       FileCheck::Sizes,
       Website::Up,
       true,
       {FilePath("only in two")},
       1,
       "bin/new.dll",
       "only in two"},
      {"a file cut short",
       [](const fs::path& v) { Write(v / "bin/new.dll", "only"); },
       FileCheck::Sizes,
       Website::Up,
       true,
       {FilePath("only in two")},
       1,
       "bin/new.dll",
       "only in two"},
      {"a file made longer",
       [](const fs::path& v) { Write(v / "bin/new.dll", "only in two, and more"); },
       FileCheck::Sizes,
       Website::Up,
       true,
       {FilePath("only in two")},
       1,
       "bin/new.dll",
       "only in two"},
      {"a folder where a file belongs",
       [](const fs::path& v) {
         fs::remove(v / "bin/new.dll");
         WriteFiles(v / "bin/new.dll", {{"inside.txt", "x"}});
       },
       FileCheck::Sizes,
       Website::Up,
       true,
       {FilePath("only in two")},
       1,
       "bin/new.dll",
       "only in two"},
      {"a file the kept version also holds",
       [](const fs::path& v) { fs::remove(v / "kelvadon_studio.exe"); },
       FileCheck::Sizes,
       Website::Up,
       true,
       {},
       1,
       "kelvadon_studio.exe",
       "studio one"},
      {"a folder gone whose file the kept version holds elsewhere",
       [](const fs::path& v) { fs::remove_all(v / "lib"); },
       FileCheck::Sizes,
       Website::Up,
       true,
       {},
       1,
       "lib/shared.dll",
       "shared library"},
      {"a same-size change, left alone by a start",
       [&](const fs::path& v) { Write(v / "bin/new.dll", changed); },
       FileCheck::Sizes,
       Website::Up,
       true,
       {},
       0,
       "bin/new.dll",
       changed},
      {"a same-size change, put back by a full check",
       [&](const fs::path& v) { Write(v / "bin/new.dll", changed); },
       FileCheck::Fingerprints,
       Website::Up,
       true,
       {FilePath("only in two")},
       1,
       "bin/new.dll",
       "only in two"},
      {"nothing changed, by a full check",
       [](const fs::path&) {},
       FileCheck::Fingerprints,
       Website::Up,
       true,
       {},
       0,
       "bin/new.dll",
       "only in two"},
      {"a website that is down",
       [](const fs::path& v) { fs::remove(v / "bin/new.dll"); },
       FileCheck::Sizes,
       Website::Down,
       false,
       {},
       0,
       "bin/new.dll",
       ""},
      {"a website without the file",
       [](const fs::path& v) { fs::remove(v / "bin/new.dll"); },
       FileCheck::Sizes,
       Website::WithoutTheFile,
       false,
       {FilePath("only in two")},
       0,
       "bin/new.dll",
       "",
       "Couldn't download bin/new.dll: The website said 404 (there's no release on it yet)"},
  };
  const fs::path onWebsite = site_.root / scenario_ / FilePath("only in two").substr(1);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    RemovePathTree(root_);
    fs::copy(installed, root_, fs::copy_options::recursive);
    c.damage(versions_ / "2.0");
    if (c.website == Website::WithoutTheFile) fs::rename(onWebsite, scratch_ / "aside");
    NewPaths();
    const UpdateResult result = Run(c.website == Website::Down ? site_.refused : "", {}, c.check);
    if (c.website == Website::WithoutTheFile) fs::rename(scratch_ / "aside", onWebsite);

    EXPECT_EQ(result.ready, c.ready) << result.error;
    if (!c.error.empty()) {
      EXPECT_EQ(result.error, c.error);
    }
    EXPECT_EQ(result.putBack, c.putBack);
    std::set<std::string> fetched;
    for (const std::string& path : NewPaths()) {
      if (path.starts_with("/client/files/")) fetched.insert(path);
    }
    EXPECT_EQ(fetched, c.fetched);
    const fs::path path = versions_ / "2.0" / c.path;
    EXPECT_EQ(fs::is_regular_file(path) ? ReadBytes(path) : "", c.bytes);
    // A repair leaves the version current however it ends, and never touches the player's files.
    ExpectCurrent("2.0");
    for (const auto& [name, bytes] : kPlayersFiles) {
      EXPECT_EQ(ReadBytes(versions_ / "2.0" / name), bytes) << name;
    }
    if (c.bytes == kVersionB.at(c.path)) {
      ExpectVersion("2.0", kVersionB);
      EXPECT_EQ(Entries(versions_), (std::set<std::string>{"1.0", "2.0"}));
    }
    if (c.ready && !c.fetched.empty()) {
      EXPECT_TRUE(Reported("Repairing Kelvadon... 100%"));
    }
    if (c.check == FileCheck::Fingerprints) {
      EXPECT_TRUE(Reported("Checking Kelvadon's files... 100%"));
    }
  }
}

}  // namespace
