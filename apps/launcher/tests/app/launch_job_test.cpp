#include "app/launch_job.h"

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "common/text.h"

namespace {

namespace fs = std::filesystem;
using std::chrono::nanoseconds;
using std::chrono::seconds;

const std::string kWebsite = "https://kelvadon.test";
const std::string kToken = "0123456789abcdef0123456789abcdef";
const std::string kStampToken = "fedcba9876543210fedcba9876543210";
const std::string kLink = "kelvadon://join?play=" + kToken + "&origin=https%3A%2F%2Fplay.test";
const std::string kFreshLink = "kelvadon://join?game=7&ticket=fresh";
const std::string kOriginJoin = "https://play.test/client/join?play=" + kToken;
const std::string kStampJoin = kWebsite + "/client/join?play=" + kStampToken;
const std::string kPing = "GET " + kWebsite + "/client/started?play=" + kToken;
const std::string kStartError = "Windows wouldn't start it (Windows error 5)";

const fs::path kRoot = fs::path("home") / "Kelvadon";
const fs::path kNewVersion = kRoot / "Versions" / "1.5";
const fs::path kOldVersion = kRoot / "Versions" / "1.4";

const std::string kUpdate = "update " + kWebsite;
const std::string kSelfUpdate = "self-update " + kWebsite + " 1.5";
const std::string kRegister = "register " + kWebsite + " 1.5";
const std::string kRegisterOld = "register " + kWebsite + " 1.4";
const std::string kStarting = "status Starting Kelvadon...";
const std::string kJoining = "status Joining the game...";
const std::string kOpenGames = "open " + kWebsite + "/games";

std::string Welcome(const std::string& version) {
  return "info: Kelvadon " + version +
         " is installed!\n\nTo play, press Play on any game on the website.\nTo make games, open "
         "Kelvadon Studio from the Start menu or the desktop.";
}

std::string StartPlayer(const std::string& link) {
  return "start kelvadon_player.exe [" + link + "]";
}

// The world around the Job, and everything the Job did to it, in order.
struct World {
  UpdateResult update;
  fs::path versionFolder = kNewVersion;
  bool launcherCopy = true;
  bool startWorks = true;
  std::map<std::string, std::string> answers;  // good answers by URL; other requests fail
  nanoseconds elapsed{0};
  std::vector<std::string> log;
  std::set<const HttpSession*> sessions;  // every session the network steps were given

  void Saw(const HttpSession& session) { sessions.insert(&session); }

  World() {
    update.reached = true;
    update.ready = true;
    update.version = "1.5";
    update.manifest.version = "1.5";
  }

  void FailUpdate(bool reached, const std::string& error, const fs::path& folder) {
    update = UpdateResult{};
    update.reached = reached;
    update.error = error;
    versionFolder = folder;
  }

  LaunchJobServices Services() {
    LaunchJobServices s;
    s.httpFetch = [this](HttpSession& session, const HttpRequest& request, const BodySink& sink,
                         std::string& error, bool& responded) {
      log.push_back("GET " + request.url);
      Saw(session);
      EXPECT_EQ(request.expectedSize, 0u);
      EXPECT_FALSE(request.progress);
      EXPECT_EQ(request.maxBytes, 64u * 1024);
      const auto answer = answers.find(request.url);
      responded = true;
      if (answer == answers.end()) {
        error = "The website said 404 (there's no release on it yet)";
        return FetchStatus::Failed;
      }
      // Like a real fetch, in pieces.
      const std::string& body = answer->second;
      for (size_t offset = 0; offset < body.size(); offset += 1000) {
        if (!sink(body.data() + offset, std::min<size_t>(1000, body.size() - offset))) {
          return FetchStatus::Failed;
        }
      }
      return FetchStatus::Done;
    };
    s.updateInstallation = [this](const std::string& website, const fs::path& root,
                                  const ProgressReporter& report, HttpSession& session,
                                  FileCheck check) {
      log.push_back("update " + website +
                    (check == FileCheck::Fingerprints ? " checking every file" : ""));
      Saw(session);
      EXPECT_EQ(root, kRoot);
      EXPECT_TRUE(report);
      return update;
    };
    s.currentVersionFolder = [this](const fs::path& root) {
      EXPECT_EQ(root, kRoot);
      return versionFolder;
    };
    s.updateLauncherCopy = [this](const fs::path& root, const std::string& website,
                                  const Manifest& manifest, std::string& error,
                                  HttpSession& session, bool rememberWebsite) {
      log.push_back("self-update " + website + " " + manifest.version +
                    (rememberWebsite ? "" : " for this run"));
      Saw(session);
      EXPECT_EQ(root, kRoot);
      error = "ignored";
      return false;
    };
    s.exists = [this](const fs::path& path) {
      EXPECT_EQ(path, kRoot / "KelvadonLauncher.exe");
      return launcherCopy;
    };
    s.registerWithWindows = [this](const fs::path& root, const fs::path& launcher,
                                   const std::string& website, const std::string& version) {
      log.push_back("register " + website + " " + version);
      EXPECT_EQ(root, kRoot);
      EXPECT_EQ(launcher, kRoot / "KelvadonLauncher.exe");
    };
    s.startProgram = [this](const fs::path& program, const std::vector<std::string>& args,
                            std::string& error) {
      std::string entry = "start " + PathToUtf8(program.filename());
      for (const std::string& arg : args) entry += " [" + arg + "]";
      log.push_back(entry);
      // Never a bare name, which Windows would look for in the current folder.
      EXPECT_EQ(program.parent_path(), versionFolder);
      if (!startWorks) error = kStartError;
      return startWorks;
    };
    s.openInBrowser = [this](const std::string& address) { log.push_back("open " + address); };
    s.showMessage = [this](const std::string& text, bool warning) {
      log.push_back((warning ? "warning: " : "info: ") + text);
    };
    s.now = [this] { return StartTime() + elapsed; };
    return s;
  }

  static std::chrono::steady_clock::time_point StartTime() {
    return std::chrono::steady_clock::time_point(seconds(86400));
  }

  int Run(LaunchContext& context) {
    const ProgressReporter report = [this](const std::string& status, double fraction) {
      log.push_back("status " + status);
      EXPECT_EQ(fraction, -1.0) << status;
    };
    return RunLaunchJob(context, report, Services());
  }
};

LaunchContext Context() {
  LaunchContext context;
  context.website = kWebsite;
  context.installRoot = kRoot;
  context.startTime = World::StartTime();
  return context;
}

struct Case {
  const char* name;
  std::function<void(LaunchContext&, World&)> setup;
  std::vector<std::string> log;
  int exitCode;
};

void RunCases(const std::vector<Case>& cases) {
  for (const Case& c : cases) {
    LaunchContext context = Context();
    World world;
    c.setup(context, world);
    EXPECT_EQ(world.Run(context), c.exitCode) << c.name;
    EXPECT_EQ(world.log, c.log) << c.name;
  }
}

TEST(LaunchJob, StartsWhatTheRunIsFor) {
  const std::string document = "C:\\Users\\Zo\xc3\xab\\My place.kelvl";
  RunCases({
      {"a Play click: ping, update, then the player with the link",
       [](LaunchContext& c, World&) { c.link = kLink; },
       {kStarting, kPing, kUpdate, kSelfUpdate, kRegister, kStarting, StartPlayer(kLink)},
       0},
      {"a link without a website sends no ping",
       [](LaunchContext& c, World&) {
         c.link = kLink;
         c.website.clear();
       },
       {"update ", "self-update  1.5", "register  1.5", kStarting, StartPlayer(kLink)},
       0},
      {"a website that only the link's origin gave is kept for this run alone",
       [](LaunchContext& c, World&) {
         c.link = kLink;
         c.websiteFromLink = true;
       },
       {kStarting, kPing, kUpdate, kSelfUpdate + " for this run", "register  1.5", kStarting,
        StartPlayer(kLink)},
       0},
      {"a link and the studio: the player",
       [&](LaunchContext& c, World&) {
         c.link = kLink;
         c.studio = true;
         c.document = document;
       },
       {kStarting, kPing, kUpdate, kSelfUpdate, kRegister, kStarting, StartPlayer(kLink)},
       0},
      {"the studio without a document gets no arguments",
       [](LaunchContext& c, World&) { c.studio = true; },
       {kUpdate, kSelfUpdate, kRegister, kStarting, "start kelvadon_studio.exe"},
       0},
      {"the studio with a document",
       [&](LaunchContext& c, World&) {
         c.studio = true;
         c.document = document;
       },
       {kUpdate, kSelfUpdate, kRegister, kStarting, "start kelvadon_studio.exe [" + document + "]"},
       0},
      {"a stamped token: a join link from the website for the player",
       [](LaunchContext& c, World& w) {
         c.playToken = kStampToken;
         w.answers[kStampJoin] = kFreshLink + "\n";
       },
       {kUpdate, kSelfUpdate, kRegister, kStarting, kJoining, "GET " + kStampJoin,
        StartPlayer(kFreshLink)},
       0},
      {"a stamped token whose join request fails: welcome and the games page",
       [](LaunchContext& c, World&) { c.playToken = kStampToken; },
       {kUpdate, kSelfUpdate, kRegister, kStarting, kJoining, "GET " + kStampJoin, Welcome("1.5"),
        kOpenGames},
       0},
      {"a plain install: welcome and the games page",
       [](LaunchContext&, World&) {},
       {kUpdate, kSelfUpdate, kRegister, kStarting, Welcome("1.5"), kOpenGames},
       0},
      {"no website: welcome without a page and no join request",
       [](LaunchContext& c, World&) {
         c.website.clear();
         c.playToken = kStampToken;
       },
       {"update ", "self-update  1.5", "register  1.5", kStarting, Welcome("1.5")},
       0},
      {"no launcher copy: registration skipped, the program still started",
       [](LaunchContext& c, World& w) {
         c.studio = true;
         w.launcherCopy = false;
       },
       {kUpdate, kSelfUpdate, kStarting, "start kelvadon_studio.exe"},
       0},
  });
}

TEST(LaunchJob, FailedUpdatesAndStarts) {
  const std::string updateWarning =
      "warning: Kelvadon couldn't update (The website said 500). Starting the version you have.";
  RunCases({
      {"failed update, website answered: warning, then the installed version",
       [](LaunchContext& c, World& w) {
         c.studio = true;
         w.FailUpdate(true, "The website said 500", kOldVersion);
       },
       {kUpdate, updateWarning, kRegisterOld, kStarting, "start kelvadon_studio.exe"},
       0},
      {"failed update, website never answered: the installed version without a word",
       [](LaunchContext& c, World& w) {
         c.studio = true;
         w.FailUpdate(false, "Couldn't reach kelvadon.test (is the internet on?)", kOldVersion);
       },
       {kUpdate, kRegisterOld, kStarting, "start kelvadon_studio.exe"},
       0},
      {"failed update: the welcome names the installed folder",
       [](LaunchContext&, World& w) { w.FailUpdate(false, "offline", kOldVersion); },
       {kUpdate, kRegisterOld, kStarting, Welcome("1.4"), kOpenGames},
       0},
      {"--no-start after a failed update with the website reachable",
       [](LaunchContext& c, World& w) {
         c.noStart = true;
         w.FailUpdate(true, "The website said 500", kOldVersion);
       },
       {kUpdate, updateWarning, kRegisterOld},
       0},
      {"--no-start after a good update",
       [](LaunchContext& c, World&) { c.noStart = true; },
       {kUpdate, kSelfUpdate, kRegister},
       0},
      {"--no-start with nothing installed: the install warning naming the website",
       [](LaunchContext& c, World& w) {
         c.noStart = true;
         w.FailUpdate(false, "Couldn't reach kelvadon.test (is the internet on?)", {});
       },
       {kUpdate,
        "warning: Kelvadon couldn't be installed:\nCouldn't reach kelvadon.test (is the internet "
        "on?)\n\n(From https://kelvadon.test)"},
       1},
      {"no website and nothing installed: no tail",
       [](LaunchContext& c, World& w) {
         c.website.clear();
         c.link = kLink;
         w.FailUpdate(false, "No website to update from", {});
       },
       {"update ", "warning: Kelvadon couldn't be installed:\nNo website to update from"},
       1},
      {"a good update without a version folder still stops before starting anything",
       [](LaunchContext& c, World& w) {
         c.studio = true;
         w.versionFolder.clear();
       },
       {kUpdate, "warning: Kelvadon couldn't be installed:\n\n\n(From https://kelvadon.test)"},
       1},
      {"the player does not start",
       [](LaunchContext& c, World& w) {
         c.link = kLink;
         w.startWorks = false;
       },
       {kStarting, kPing, kUpdate, kSelfUpdate, kRegister, kStarting, StartPlayer(kLink),
        "warning: Couldn't start the game: " + kStartError},
       1},
      {"the studio does not start",
       [](LaunchContext& c, World& w) {
         c.studio = true;
         w.startWorks = false;
       },
       {kUpdate, kSelfUpdate, kRegister, kStarting, "start kelvadon_studio.exe",
        "warning: Couldn't start the studio: " + kStartError},
       1},
      {"the player does not start with a stamped join link",
       [](LaunchContext& c, World& w) {
         c.playToken = kStampToken;
         w.answers[kStampJoin] = kFreshLink;
         w.startWorks = false;
       },
       {kUpdate, kSelfUpdate, kRegister, kStarting, kJoining, "GET " + kStampJoin,
        StartPlayer(kFreshLink), "warning: Couldn't start the game: " + kStartError},
       1},
  });
}

// --repair checks every file, then says how that went in one message; it starts nothing but the
// studio when that is asked for too.
TEST(LaunchJob, RepairEndsWithOneMessage) {
  const std::string checking = kUpdate + " checking every file";
  const std::string failed =
      "warning: Kelvadon couldn't repair its files (Couldn't download "
      "bin/a.dll: The website said 404 (there's no release on it yet)).";
  const auto repair = [](size_t putBack) {
    return [putBack](LaunchContext& c, World& w) {
      c.repair = true;
      w.update.putBack = putBack;
    };
  };
  RunCases({
      {"every file all right",
       repair(0),
       {checking, kSelfUpdate, kRegister, "info: Kelvadon's files are all right."},
       0},
      {"one put back",
       repair(1),
       {checking, kSelfUpdate, kRegister,
        "info: Kelvadon put back 1 file that was missing or damaged."},
       0},
      {"several put back",
       repair(12),
       {checking, kSelfUpdate, kRegister,
        "info: Kelvadon put back 12 files that were missing or damaged."},
       0},
      {"a file that could not be put back: one warning, not the update's as well",
       [](LaunchContext& c, World& w) {
         c.repair = true;
         w.FailUpdate(true,
                      "Couldn't download bin/a.dll: The website said 404 (there's no release on "
                      "it yet)",
                      kOldVersion);
       },
       {checking, kRegisterOld, failed},
       1},
      {"the studio asked for too starts after the message",
       [](LaunchContext& c, World& w) {
         c.repair = true;
         c.studio = true;
         w.update.putBack = 1;
       },
       {checking, kSelfUpdate, kRegister,
        "info: Kelvadon put back 1 file that was missing or damaged.", kStarting,
        "start kelvadon_studio.exe"},
       0},
  });
}

TEST(LaunchJob, FreshJoinLinkOnlyForAnOldLinkWithAGoodTokenAndOrigin) {
  const std::string capitalToken = "0123456789ABCDEF0123456789abcdef";
  const std::string capitalLink =
      "kelvadon://join?play=" + capitalToken + "&origin=https%3A%2F%2Fplay.test";
  // The origin answers for either token, so only the Job's own rules can keep the link.
  const auto answered = [&](World& w, nanoseconds elapsed) {
    w.elapsed = elapsed;
    w.answers[kOriginJoin] = kFreshLink;
    w.answers["https://play.test/client/join?play=" + capitalToken] = kFreshLink;
  };
  const std::vector<std::string> before = {kStarting,   kPing,     kUpdate,
                                           kSelfUpdate, kRegister, kStarting};
  const auto then = [&](std::vector<std::string> rest) {
    std::vector<std::string> log = before;
    log.insert(log.end(), rest.begin(), rest.end());
    return log;
  };
  RunCases({
      {"exactly 120 seconds keeps the link",
       [&](LaunchContext& c, World& w) {
         c.link = kLink;
         answered(w, seconds(120));
       },
       then({StartPlayer(kLink)}), 0},
      {"a nanosecond more asks the origin",
       [&](LaunchContext& c, World& w) {
         c.link = kLink;
         answered(w, seconds(120) + nanoseconds(1));
       },
       then({kJoining, "GET " + kOriginJoin, StartPlayer(kFreshLink)}), 0},
      {"a failed request keeps the link",
       [&](LaunchContext& c, World& w) {
         c.link = kLink;
         w.elapsed = seconds(600);
       },
       then({kJoining, "GET " + kOriginJoin, StartPlayer(kLink)}), 0},
      {"a capital letter in the token: no ping, no fresh link, the link still passed",
       [&](LaunchContext& c, World& w) {
         c.link = capitalLink;
         answered(w, seconds(600));
       },
       {kUpdate, kSelfUpdate, kRegister, kStarting, StartPlayer(capitalLink)},
       0},
      {"no origin: the link is kept",
       [&](LaunchContext& c, World& w) {
         c.link = "kelvadon://join?play=" + kToken;
         answered(w, seconds(600));
       },
       then({StartPlayer("kelvadon://join?play=" + kToken)}), 0},
      {"an origin that is no website: the link is kept",
       [&](LaunchContext& c, World& w) {
         c.link = "kelvadon://join?play=" + kToken + "&origin=ftp%3A%2F%2Fplay.test";
         answered(w, seconds(600));
       },
       then({StartPlayer("kelvadon://join?play=" + kToken + "&origin=ftp%3A%2F%2Fplay.test")}), 0},
  });
}

// One rule for both join requests: the first line, when it is a whole join link.
TEST(LaunchJob, JoinAnswersAreTakenOnlyWhenTheirFirstLineIsAJoinLink) {
  struct Answer {
    const char* name;
    std::string body;
    std::string taken;  // empty: not a join link
  };
  const Answer answers[] = {
      {"the link alone", kFreshLink, kFreshLink},
      {"more lines after LF", kFreshLink + "\nsecond line", kFreshLink},
      {"more lines after CR LF", kFreshLink + "\r\nsecond\r\n", kFreshLink},
      {"text outside ASCII", "kelvadon://join?name=Zo\xc3\xab", "kelvadon://join?name=Zo\xc3\xab"},
      {"a leading space", " " + kFreshLink, ""},
      {"another scheme", "https://play.test/join?game=7", ""},
      {"another kelvadon link", "kelvadon://play?game=7", ""},
      {"capital scheme", "KELVADON://join?game=7", ""},
      {"an empty first line", "\n" + kFreshLink, ""},
      {"empty", "", ""},
      {"a NUL byte", std::string("kelvadon://join?game=7\0&x=1", 27), ""},
      {"a tab", "kelvadon://join?game=7\t", ""},
      {"an escape byte", "kelvadon://join?game=\x1b[7", ""},
      {"invalid UTF-8", "kelvadon://join?game=\xff", ""},
      {"a cut UTF-8 sequence", "kelvadon://join?game=\xc3", ""},
      // A website that never stops answering is cut off at 64 KiB and its answer not taken.
      {"a link followed by too much", kFreshLink + "\n" + std::string(64 * 1024, 'x'), ""},
      {"a link exactly at the ceiling",
       kFreshLink + "\n" + std::string(64 * 1024 - kFreshLink.size() - 1, 'x'), kFreshLink},
  };
  for (const Answer& a : answers) {
    {  // an old Play link
      LaunchContext context = Context();
      context.link = kLink;
      World world;
      world.elapsed = seconds(121);
      world.answers[kOriginJoin] = a.body;
      EXPECT_EQ(world.Run(context), 0) << a.name;
      const std::string expected = a.taken.empty() ? kLink : a.taken;
      EXPECT_EQ(world.log.back(), StartPlayer(expected)) << a.name;
      EXPECT_EQ(context.link, expected) << a.name;
    }
    {  // a stamped token
      LaunchContext context = Context();
      context.playToken = kStampToken;
      World world;
      world.answers[kStampJoin] = a.body;
      EXPECT_EQ(world.Run(context), 0) << a.name;
      EXPECT_EQ(world.log.back(), a.taken.empty() ? kOpenGames : StartPlayer(a.taken)) << a.name;
      // The update, the launcher copy and the join answer share one session.
      EXPECT_EQ(world.sessions.size(), 1u) << a.name;
    }
  }
}

TEST(LaunchJob, HandsTheRightPathsAndReporterOn) {
  LaunchContext context = Context();
  context.link = kLink;
  World world;
  fs::path started;
  std::vector<std::string> reports;
  LaunchJobServices services = world.Services();
  services.startProgram = [&](const fs::path& program, const std::vector<std::string>&,
                              std::string&) {
    started = program;
    return true;
  };
  services.updateInstallation = [&](const std::string&, const fs::path&,
                                    const ProgressReporter& report, HttpSession&, FileCheck) {
    report("Checking for updates...", -1.0);
    return world.update;
  };
  const ProgressReporter report = [&](const std::string& status, double) {
    reports.push_back(status);
  };
  EXPECT_EQ(RunLaunchJob(context, report, services), 0);
  EXPECT_EQ(started, kNewVersion / "kelvadon_player.exe");
  EXPECT_EQ(reports, (std::vector<std::string>{"Starting Kelvadon...", "Checking for updates...",
                                               "Starting Kelvadon..."}));
}

}  // namespace
