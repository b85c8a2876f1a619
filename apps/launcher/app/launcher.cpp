#include "app/launcher.h"

#include <chrono>
#include <system_error>
#include <vector>

#include "app/launch_job.h"
#include "common/system.h"
#include "common/text.h"
#include "files/disk.h"
#include "files/file_io.h"
#include "net/stamp.h"
#include "net/website.h"
#include "ui/progress.h"
#include "update/store/install_lock.h"
#include "update/store/install_root.h"
#include "update/store/version_store.h"
#include "win/uninstall.h"

namespace {

int RunUninstallMode(const std::filesystem::path& root) {
  const std::string question =
      "Take Kelvadon off this computer?\n\nYour own places and saves stay in " + PathToUtf8(root) +
      " (delete that folder too if you don't want them).";
  if (!AskYesNo(question)) return 0;
  UnregisterFromWindows(root);
  RemoveInstalledFiles(root);
  ShowMessage("Kelvadon has been taken off this computer.", false);
  // Last of all: a running program's file cannot be deleted, so the command must not start its
  // short pause while the message may still be waiting for the user.
  ScheduleLauncherDeletion(root);
  return 0;
}

}  // namespace

void ResolveWebsite(LaunchContext& context, std::string_view ownImage, std::string_view ownFileName,
                    std::string_view websiteFileText) {
  const SetupNameInfo fromName = ParseSetupFileName(ownFileName);
  std::string stampWebsite = ReadWebsiteStamp(ownImage);
  if (stampWebsite.empty()) stampWebsite = fromName.website;
  context.playToken = ReadPlayStamp(ownImage);
  if (context.playToken.empty()) context.playToken = fromName.play;

  if (context.website.empty()) context.website = stampWebsite;
  if (context.website.empty()) context.website = NormalizeWebsite(FirstLine(websiteFileText));
  if (context.website.empty() && !context.link.empty()) {
    context.website = NormalizeWebsite(QueryParameter(context.link, "origin"));
    context.websiteFromLink = !context.website.empty();
  }
}

int RunLauncher(const std::vector<std::string>& args) {
  LaunchContext context = ParseCommandLine(args);
  if (context.installRoot.empty()) context.installRoot = GetInstallRoot();
  if (context.installRoot.empty()) {
    ShowMessage("Kelvadon couldn't find a folder to install into.", true);
    return 1;
  }
  if (context.uninstall) return RunUninstallMode(context.installRoot);
  // Programs would be started from a folder that another computer's owner controls.
  if (IsNetworkPath(context.installRoot)) {
    ShowMessage("Kelvadon can't be installed in a network folder (" +
                    PathForMessage(context.installRoot) + "). Choose a folder on this computer.",
                true);
    return 1;
  }

  const std::filesystem::path ownPath = OwnExecutablePath();
  std::string ownImage;
  if (!ownPath.empty()) ReadWholeFile(ownPath, ownImage);
  std::string websiteFileText;
  ReadWholeFile(context.installRoot / kWebsiteFileName, websiteFileText);
  ResolveWebsite(context, ownImage, FileNameAsUtf8(ownPath), websiteFileText);
  ownImage.clear();
  ownImage.shrink_to_fit();

  context.startTime = std::chrono::steady_clock::now();
  return RunWithProgressWindow(
      [&context](const ProgressReporter& report) { return RunLaunchJob(context, report); });
}
