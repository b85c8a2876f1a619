#include "app/launch_job.h"

#include <chrono>
#include <string>
#include <string_view>

#include "common/text.h"
#include "net/website.h"
#include "update/store/install_root.h"

namespace fs = std::filesystem;

namespace {

constexpr char kStartingStatus[] = "Starting Kelvadon...";
constexpr char kJoiningStatus[] = "Joining the game...";
constexpr std::string_view kJoinLinkPrefix = "kelvadon://join?";
// A play link older than this may have expired on the website while the update ran.
constexpr double kJoinLinkLifetimeSeconds = 120.0;

// A short answer whole, or false (a longer one counts as none).
bool FetchShortAnswer(const LaunchJobServices& services, HttpSession& session,
                      const std::string& url, std::string& body) {
  HttpRequest request;
  request.url = url;
  request.maxBytes = kSmallAnswerMaxBytes;
  std::string error;
  bool responded = false;
  return FetchBody(services.httpFetch, session, request, body, error, responded) ==
         FetchStatus::Done;
}

// The first line of a join answer when it is a join link, otherwise empty. The origin of a link
// is anyone's choice, so only text that reaches the player whole is taken: valid UTF-8 without
// control bytes (a NUL would cut the player's command line short).
std::string JoinLinkFromAnswer(std::string_view body) {
  std::string line = FirstLine(body);
  if (!line.starts_with(kJoinLinkPrefix) || !IsValidUtf8(line)) return {};
  for (const char c : line) {
    if (static_cast<unsigned char>(c) < 0x20) return {};
  }
  return line;
}

// Asks the website for a join link for the token; empty when none came back.
std::string FetchJoinLink(const LaunchJobServices& services, HttpSession& session,
                          const std::string& website, const std::string& token) {
  std::string body;
  if (!FetchShortAnswer(services, session, website + "/client/join?play=" + token, body)) {
    return {};
  }
  return JoinLinkFromAnswer(body);
}

// 0 when the program started; otherwise the warning behind the lead-in, and 1.
int StartOrWarn(const LaunchJobServices& services, const fs::path& program,
                const std::vector<std::string>& args, const std::string& leadIn) {
  std::string error;
  if (services.startProgram(program, args, error)) return 0;
  services.showMessage(leadIn + error, true);
  return 1;
}

// The closing word of a run asked to repair; true when every file is as it should be.
bool ShowRepairOutcome(const LaunchJobServices& services, const UpdateResult& update) {
  if (!update.ready) {
    services.showMessage("Kelvadon couldn't repair its files (" + update.error + ").", true);
    return false;
  }
  if (update.putBack == 0) {
    services.showMessage("Kelvadon's files are all right.", false);
  } else if (update.putBack == 1) {
    services.showMessage("Kelvadon put back 1 file that was missing or damaged.", false);
  } else {
    services.showMessage("Kelvadon put back " + std::to_string(update.putBack) +
                             " files that were missing or damaged.",
                         false);
  }
  return true;
}

}  // namespace

int RunLaunchJob(LaunchContext& context, const ProgressReporter& report) {
  return RunLaunchJob(context, report, LaunchJobServices{});
}

int RunLaunchJob(LaunchContext& context, const ProgressReporter& report,
                 const LaunchJobServices& services) {
  const std::string& website = context.website;
  const fs::path& root = context.installRoot;
  const std::string linkToken =
      context.link.empty() ? std::string() : QueryParameter(context.link, "play");
  const bool linkTokenValid = IsValidPlayToken(linkToken);
  const HttpSessionOwner session = OpenHttpSession();

  if (linkTokenValid && !website.empty()) {
    report(kStartingStatus, -1.0);
    std::string body;
    // The website only counts the click; whatever it answers, the run goes on.
    FetchShortAnswer(services, *session, website + "/client/started?play=" + linkToken, body);
  }

  const UpdateResult update = services.updateInstallation(
      website, root, report, *session, context.repair ? FileCheck::Fingerprints : FileCheck::Sizes);
  const fs::path versionFolder = services.currentVersionFolder(root);

  // Whatever the update says, without a version folder there is nothing to start: a bare
  // "kelvadon_player.exe" would be looked for in the current folder (Downloads, for a setup
  // program).
  if (versionFolder.empty()) {
    std::string text = "Kelvadon couldn't be installed:\n" + update.error;
    if (!website.empty()) text += "\n\n(From " + website + ")";
    services.showMessage(text, true);
    return 1;
  }
  // A run asked to repair says how that went at its end, in one message.
  if (!update.ready && update.reached && !context.repair) {
    services.showMessage(
        "Kelvadon couldn't update (" + update.error + "). Starting the version you have.", true);
  }

  // A website that only a link's origin gave serves this run; written into website.txt, the
  // uninstall entry or a shortcut it would take over every later update.
  const std::string lasting = context.websiteFromLink ? std::string() : website;
  if (update.ready) {
    std::string ignored;
    services.updateLauncherCopy(root, website, update.manifest, ignored, *session,
                                !context.websiteFromLink);
  }

  const std::string versionName = update.ready ? update.version : FileNameAsUtf8(versionFolder);
  const fs::path launcherCopy = root / kLauncherFileName;
  if (services.exists(launcherCopy)) {
    services.registerWithWindows(root, launcherCopy, lasting, versionName);
  }

  const bool repaired = !context.repair || ShowRepairOutcome(services, update);
  if (context.noStart || (context.repair && !context.studio)) return repaired ? 0 : 1;
  report(kStartingStatus, -1.0);

  const auto elapsed =
      std::chrono::duration_cast<std::chrono::nanoseconds>(services.now() - context.startTime);
  const double elapsedSeconds = static_cast<double>(elapsed.count()) / 1000000000.0;
  const std::string origin = NormalizeWebsite(QueryParameter(context.link, "origin"));
  if (!context.link.empty() && linkTokenValid && elapsedSeconds > kJoinLinkLifetimeSeconds &&
      !origin.empty()) {
    report(kJoiningStatus, -1.0);
    std::string fresh = FetchJoinLink(services, *session, origin, linkToken);
    if (!fresh.empty()) context.link = std::move(fresh);
  }

  const fs::path player = versionFolder / kPlayerFileName;
  if (!context.link.empty()) {
    return StartOrWarn(services, player, {context.link}, "Couldn't start the game: ");
  }
  if (context.studio) {
    std::vector<std::string> args;
    if (!context.document.empty()) args.push_back(context.document);
    return StartOrWarn(services, versionFolder / kStudioFileName, args,
                       "Couldn't start the studio: ");
  }
  if (!context.playToken.empty() && !website.empty()) {
    report(kJoiningStatus, -1.0);
    const std::string joinLink = FetchJoinLink(services, *session, website, context.playToken);
    if (!joinLink.empty()) {
      return StartOrWarn(services, player, {joinLink}, "Couldn't start the game: ");
    }
  }

  services.showMessage("Kelvadon " + versionName +
                           " is installed!\n\nTo play, press Play on any game on the website.\n"
                           "To make games, open Kelvadon Studio from the Start menu or the "
                           "desktop.",
                       false);
  if (!website.empty()) services.openInBrowser(website + "/games");
  return 0;
}
