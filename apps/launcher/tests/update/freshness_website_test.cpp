// The engine's refusal of old and expired manifests, against the test website through the real
// HttpFetch, the same cases in both builds. Each case is a list of steps on its own scenario folder
// and its own InstallRoot: publishes (kelvadon-publish through the fault server), replays of a
// manifest saved earlier (what an attacker answering for the website would serve), changes to
// sequence.txt, and updates with the clock set relative to the manifest's expiry.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "common/text.h"
#include "tests/update/test_website.h"
#include "tests/update/website_scenario.h"
#include "update/engine.h"
#include "update/store/install_root.h"
#include "update/trust/freshness.h"
#include "website_harness.h"

namespace fs = std::filesystem;

namespace {

constexpr char kOlder[] =
    "The update is older than one already seen on this computer, so it wasn't installed";
constexpr char kExpired[] =
    "The update has expired, so it wasn't installed: check this computer's date and time";

enum class Do {
  Publish,       // text: version; days: --expires-in, when not empty
  Refresh,       // days: --expires-in
  Save,          // keeps the website's manifest and signature
  Replay,        // puts the kept pair back on the website
  DropSequence,  // the website's manifest signed again without its sequence member
  State,         // text: the new content of sequence.txt
  NoState,       // sequence.txt removed
  StateFolder,   // a folder where sequence.txt belongs: it can be neither read nor written
  Update,        // expects: refusal (empty: ready), current version, sequence.txt after
};

struct Step {
  Do what = Do::Update;
  std::string text;
  std::string days;
  int64_t late = 0;  // the clock: this long after the manifest's expiry; now when it has none
  std::string refusal;
  std::string current;
  std::string remembered;
  int downloads = -1;  // files fetched by the update; -1: not checked
};

Step Make(Do what, const std::string& text = "", const std::string& days = "") {
  Step step;
  step.what = what;
  step.text = text;
  step.days = days;
  return step;
}
Step Refresh(const std::string& days) { return Make(Do::Refresh, "", days); }
Step Save() { return Make(Do::Save); }
Step Replay() { return Make(Do::Replay); }
Step DropSequence() { return Make(Do::DropSequence); }
Step State(const std::string& text) { return Make(Do::State, text); }
Step NoState() { return Make(Do::NoState); }
Step StateFolder() { return Make(Do::StateFolder); }
Step Refused(const std::string& refusal, const std::string& current, const std::string& remembered,
             int64_t late = 0) {
  Step step = Make(Do::Update);
  step.late = late;
  step.refusal = refusal;
  step.current = current;
  step.remembered = remembered;
  return step;
}
Step Ready(const std::string& current, const std::string& remembered, int64_t late = 0,
           int downloads = -1) {
  Step step = Refused("", current, remembered, late);
  step.downloads = downloads;
  return step;
}

struct Case {
  const char* name;
  std::vector<Step> steps;
};

class FreshnessWebsiteTest : public WebsiteScenarioTest {
 protected:
  // The step that publishes version; the cases publish only through their steps.
  static Step Publish(const std::string& version, const std::string& days = "") {
    return Make(Do::Publish, version, days);
  }

  // The website's manifest as the launcher reads it.
  Manifest WebsiteManifest(const fs::path& client) {
    Manifest manifest;
    std::string error;
    EXPECT_TRUE(ParseManifestContent(ReadBytes(client / kManifestFileName), manifest, error))
        << error;
    return manifest;
  }

  void RunCase(const Case& c, size_t index) {
    const std::string site = scenario_ + "/case" + std::to_string(index);
    const fs::path client = site_.root / site / "client";
    root_ = scratch_ / ("root" + std::to_string(index));
    const fs::path& root = root_;
    // The case's own folder, so the log shows only its requests.
    requests_ = AccessLog(site_, site);
    std::string savedJson;
    std::string savedSignature;
    for (size_t i = 0; i < c.steps.size(); ++i) {
      const Step& step = c.steps[i];
      SCOPED_TRACE("step " + std::to_string(i + 1));
      std::string error;
      switch (step.what) {
        case Do::Publish: {
          const fs::path folder = scratch_ / "clients" / step.text;
          WriteFiles(folder, {{"kelvadon_player.exe", "player " + step.text},
                              {"kelvadon_studio.exe", "studio " + step.text}});
          std::vector<std::pair<std::string, std::string>> options = {
              {"client", PathToUtf8(fs::absolute(folder))}, {"version", step.text}};
          if (!step.days.empty()) options.emplace_back("expires-in", step.days);
          ASSERT_TRUE(RunPublishOnTestSite(site_, site, "publish", options, error)) << error;
          break;
        }
        case Do::Refresh:
          ASSERT_TRUE(
              RunPublishOnTestSite(site_, site, "refresh", {{"expires-in", step.days}}, error))
              << error;
          break;
        case Do::Save:
          savedJson = ReadBytes(client / kManifestFileName);
          savedSignature = ReadBytes(client / kSignatureFileName);
          break;
        case Do::Replay:
          WriteFiles(client,
                     {{kManifestFileName, savedJson}, {kSignatureFileName, savedSignature}});
          break;
        case Do::DropSequence: {
          std::string json = ReadBytes(client / kManifestFileName);
          const size_t start = json.find("\n  \"sequence\"");
          ASSERT_NE(start, std::string::npos) << json;
          json.erase(start, json.find('\n', start + 1) - start);
          ASSERT_TRUE(SignTestManifest(site_, site, json, error)) << error;
          break;
        }
        case Do::State:
          WriteFiles(root, {{kSequenceFileName, step.text}});
          break;
        case Do::NoState:
          fs::remove(root / kSequenceFileName);
          break;
        case Do::StateFolder:
          fs::create_directories(root / kSequenceFileName / "x");
          break;
        case Do::Update: {
          const Manifest offered = WebsiteManifest(client);
          const int64_t now = offered.expires ? *offered.expires + step.late : SystemUtcSeconds();
          NewPaths();
          environment_.refetchPause = [] {};
          environment_.clock = [now] { return now; };
          const UpdateResult result = Run(site_.http + "/" + site);
          EXPECT_TRUE(result.reached);
          EXPECT_EQ(result.error, step.refusal);
          EXPECT_EQ(result.ready, step.refusal.empty());
          const std::vector<std::string> requests = NewPaths();
          ASSERT_GE(requests.size(), 2u);
          EXPECT_EQ(requests[0], "/client/manifest.json");
          EXPECT_EQ(requests[1], "/client/manifest.sig");
          if (step.downloads >= 0) {
            EXPECT_EQ(requests.size(), 2u + static_cast<size_t>(step.downloads));
          }
          if (!step.refusal.empty()) {
            // Refused before anything on disk: no download, no switch, nothing for the
            // self-update to act on.
            EXPECT_EQ(requests.size(), 2u);
            EXPECT_EQ(result.version, "");
            EXPECT_EQ(result.manifest.files.size(), 0u);
            EXPECT_FALSE(fs::exists(root / kVersionsFolderName / (offered.version + ".partial")));
          }
          const fs::path current = CurrentVersionFolder(root);
          EXPECT_EQ(current.empty() ? "" : current.filename().string(), step.current);
          const fs::path state = root / kSequenceFileName;
          EXPECT_EQ(fs::is_regular_file(state) ? ReadBytes(state) : "", step.remembered);
          break;
        }
      }
    }
  }
};

TEST_F(FreshnessWebsiteTest, Sequences) {
  const Case cases[] = {
      {"higher, then equal (an unchanged website)",
       {Publish("1.0"), Ready("1.0", "1\n"), Publish("2.0"), Ready("2.0", "2\n", 0, 2),
        Ready("2.0", "2\n", 0, 0)}},
      {"a lower one naming the kept version: no switch back",
       {Publish("1.0"), Save(), Ready("1.0", "1\n"), Publish("2.0"), Ready("2.0", "2\n"), Replay(),
        Refused(kOlder, "2.0", "2\n")}},
      {"a lower one naming a version not on disk: nothing downloaded",
       {Publish("1.0"), Save(), Publish("2.0"), Ready("2.0", "2\n"), Replay(),
        Refused(kOlder, "2.0", "2\n")}},
      {"a lower one on a first install",
       {State("5\n"), Publish("1.0"), Refused(kOlder, "", "5\n")}},
      {"a deliberate rollback: the old version with a higher sequence",
       {Publish("1.0"), Ready("1.0", "1\n"), Publish("2.0"), Ready("2.0", "2\n"), Publish("1.0"),
        Ready("1.0", "3\n")}},
      // Every manifest signed before sequences existed could otherwise be served again for ever.
      {"absent once one is remembered: refused, the version kept",
       {Publish("1.0"), Ready("1.0", "1\n"), Publish("2.0"), DropSequence(),
        Refused(kOlder, "1.0", "1\n")}},
      {"absent on a first install: accepted, nothing remembered",
       {Publish("1.0"), DropSequence(), Ready("1.0", "")}},
      {"sequence.txt missing: protection lost until the next accepted manifest",
       {Publish("1.0"), Save(), Publish("2.0"), Ready("2.0", "2\n"), NoState(), Replay(),
        Ready("1.0", "1\n"), Publish("3.0"), Ready("3.0", "3\n")}},
      {"sequence.txt empty",
       {Publish("1.0"), Save(), Publish("2.0"), Ready("2.0", "2\n"), State(""), Replay(),
        Ready("1.0", "1\n")}},
      {"sequence.txt garbage",
       {Publish("1.0"), Save(), Publish("2.0"), Ready("2.0", "2\n"), State("two\n"), Replay(),
        Ready("1.0", "1\n")}},
      {"sequence.txt out of range",
       {State("99999999999999999\n"), Publish("1.0"), Ready("1.0", "1\n")}},
      {"sequence.txt cannot be written: the update still counts",
       {StateFolder(), Publish("1.0"), Ready("1.0", "")}},
  };
  for (size_t i = 0; i < std::size(cases); ++i) {
    SCOPED_TRACE(cases[i].name);
    RunCase(cases[i], i);
  }
}

TEST_F(FreshnessWebsiteTest, Expiry) {
  const int64_t hour = kExpiryLeewaySeconds;
  const Case cases[] = {
      {"before its expiry", {Publish("1.0", "7"), Ready("1.0", "1\n", -1)}},
      {"within the hour's leeway", {Publish("1.0", "7"), Ready("1.0", "1\n", hour)}},
      {"expired, on a first install", {Publish("1.0", "7"), Refused(kExpired, "", "", hour + 1)}},
      {"expired: the installed version stays",
       {Publish("1.0"), Ready("1.0", "1\n"), Publish("2.0", "1"),
        Refused(kExpired, "1.0", "1\n", 2 * hour)}},
      {"a refresh moves the expiry on without a download",
       {Publish("1.0", "1"), Ready("1.0", "1\n"), Refresh("30"), Ready("1.0", "2\n", -hour, 0)}},
  };
  for (size_t i = 0; i < std::size(cases); ++i) {
    SCOPED_TRACE(cases[i].name);
    RunCase(cases[i], i);
  }
}

}  // namespace
