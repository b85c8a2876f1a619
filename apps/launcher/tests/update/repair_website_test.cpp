// A complete version whose files were damaged behind the launcher's back, followed by a start
// (which compares sizes) or a full check (which compares fingerprints): what is put back, from
// where, and what a repair that cannot finish leaves. The same cases in both builds.
#include <gtest/gtest.h>

#include <functional>
#include <set>
#include <string>
#include <system_error>
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

// What a start or a full check then does about the damaged file.
enum class Outcome {
  Fetched,    // put back from the website
  Copied,     // put back from the kept version, nothing fetched
  LeftAlone,  // not seen as damaged: the file stays as it was made
  Failed,     // the run fails as an update does, the file still missing
};

struct Case {
  const char* name;
  const char* path;  // the file damaged, in version 2.0
  std::function<void(const fs::path& file)> damage;
  FileCheck check;
  Website website;
  Outcome outcome;
  std::string error = {};  // a failed repair is worded as a failed update
};

void Write(const fs::path& path, const std::string& bytes) {
  std::error_code ec;
  fs::remove_all(path, ec);
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

  const auto remove = [](const fs::path& file) { fs::remove(file); };
  const auto changeOneByte = [](const fs::path& file) { Write(file, "only in twO"); };
  const auto s = FileCheck::Sizes;
  const auto up = Website::Up;
  const Case cases[] = {
      {"a file deleted", "bin/new.dll", remove, s, up, Outcome::Fetched},
      {"a file cut short", "bin/new.dll", [](const fs::path& f) { Write(f, "only"); }, s, up,
       Outcome::Fetched},
      {"a file made longer", "bin/new.dll", [](const fs::path& f) { Write(f, "only in two!"); }, s,
       up, Outcome::Fetched},
      {"a folder where a file belongs", "bin/new.dll",
       [](const fs::path& f) {
         fs::remove(f);
         WriteFiles(f, {{"inside.txt", "x"}});
       },
       s, up, Outcome::Fetched},
      {"a file the kept version also holds", "kelvadon_studio.exe", remove, s, up, Outcome::Copied},
      {"a folder gone whose file the kept version holds elsewhere", "lib/shared.dll",
       [](const fs::path& f) { fs::remove_all(f.parent_path()); }, s, up, Outcome::Copied},
      {"a same-size change, left alone by a start", "bin/new.dll", changeOneByte, s, up,
       Outcome::LeftAlone},
      {"a same-size change, put back by a full check", "bin/new.dll", changeOneByte,
       FileCheck::Fingerprints, up, Outcome::Fetched},
      {"a website that is down", "bin/new.dll", remove, s, Website::Down, Outcome::Failed},
      {"a website without the file", "bin/new.dll", remove, s, Website::WithoutTheFile,
       Outcome::Failed,
       "Couldn't download bin/new.dll: The website said 404 (there's no release on it yet)"},
  };
  const fs::path onWebsite = site_.root / scenario_ / FilePath("only in two").substr(1);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    RemovePathTree(root_);
    fs::copy(installed, root_, fs::copy_options::recursive);
    const fs::path file = versions_ / "2.0" / c.path;
    c.damage(file);
    const std::string damaged = fs::is_regular_file(file) ? ReadBytes(file) : "";
    if (c.website == Website::WithoutTheFile) fs::rename(onWebsite, scratch_ / "aside");
    NewPaths();
    const UpdateResult result = Run(c.website == Website::Down ? site_.refused : "", {}, c.check);
    if (c.website == Website::WithoutTheFile) fs::rename(scratch_ / "aside", onWebsite);

    const bool putBack = c.outcome == Outcome::Fetched || c.outcome == Outcome::Copied;
    EXPECT_EQ(result.ready, c.outcome != Outcome::Failed) << result.error;
    EXPECT_EQ(result.putBack, putBack ? 1u : 0u);
    if (!c.error.empty()) {
      EXPECT_EQ(result.error, c.error);
    }
    std::set<std::string> fetched;
    for (const std::string& path : NewPaths()) {
      if (path.starts_with("/client/files/")) fetched.insert(path);
    }
    const bool asked = c.outcome == Outcome::Fetched || c.website == Website::WithoutTheFile;
    EXPECT_EQ(fetched, asked ? std::set<std::string>{FilePath(kVersionB.at(c.path))}
                             : std::set<std::string>{});
    EXPECT_EQ(fs::is_regular_file(file) ? ReadBytes(file) : "",
              putBack ? kVersionB.at(c.path) : damaged);
    if (putBack) ExpectVersion("2.0", kVersionB);
    if (result.ready) {
      EXPECT_EQ(Entries(versions_), (std::set<std::string>{"1.0", "2.0"}));
    }
    // A repair leaves the version current however it ends, and never touches the player's files.
    ExpectCurrent("2.0");
    for (const auto& [name, bytes] : kPlayersFiles) {
      EXPECT_EQ(ReadBytes(versions_ / "2.0" / name), bytes) << name;
    }
    if (c.outcome == Outcome::Fetched) {
      EXPECT_TRUE(Reported("Repairing Kelvadon... 100%"));
    }
    if (c.check == FileCheck::Fingerprints) {
      EXPECT_TRUE(Reported("Checking Kelvadon's files... 100%"));
    }
  }
}

}  // namespace
