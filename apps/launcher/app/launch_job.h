#pragma once

#include <chrono>
#include <filesystem>
#include <functional>
#include <string>
#include <system_error>
#include <vector>

#include "app/command_line.h"
#include "common/types.h"
#include "net/http.h"
#include "ui/progress.h"
#include "update/engine.h"
#include "update/self_update.h"
#include "update/store/install_root.h"
#include "win/registration.h"
#include "win/start.h"

// Everything the launch Job reaches outside itself. The defaults are the real operations; tests
// replace them to walk every branch without a network, a window or a wait.
// One network session serves the whole run: the started ping, the update, the launcher copy and
// the join answer.
struct LaunchJobServices {
  HttpFetcher httpFetch = HttpFetch;
  std::function<UpdateResult(const std::string& website, const std::filesystem::path& root,
                             const ProgressReporter& report, HttpSession& session, FileCheck check)>
      updateInstallation = [](const std::string& website, const std::filesystem::path& root,
                              const ProgressReporter& report, HttpSession& session,
                              FileCheck check) {
        UpdateEnvironment environment;
        environment.session = &session;
        return UpdateInstallation(website, root, report, environment, check);
      };
  std::function<std::filesystem::path(const std::filesystem::path& root)> currentVersionFolder =
      CurrentVersionFolder;
  std::function<bool(const std::filesystem::path& root, const std::string& website,
                     const Manifest& manifest, std::string& error, HttpSession& session,
                     bool rememberWebsite)>
      updateLauncherCopy = [](const std::filesystem::path& root, const std::string& website,
                              const Manifest& manifest, std::string& error, HttpSession& session,
                              bool rememberWebsite) {
        UpdateEnvironment environment;
        environment.session = &session;
        return UpdateLauncherCopy(root, website, manifest, rememberWebsite, environment, error);
      };
  std::function<void(const std::filesystem::path& installRoot,
                     const std::filesystem::path& launcherPath, const std::string& website,
                     const std::string& versionName)>
      registerWithWindows = RegisterWithWindows;
  std::function<bool(const std::filesystem::path& program, const std::vector<std::string>& args,
                     std::string& error)>
      startProgram = StartProgram;
  std::function<void(const std::string& address)> openInBrowser = OpenInBrowser;
  std::function<void(const std::string& text, bool warning)> showMessage = ShowMessage;
  std::function<std::chrono::steady_clock::time_point()> now = std::chrono::steady_clock::now;
  // Whether anything is at the path; a failed look-up counts as nothing there.
  std::function<bool(const std::filesystem::path& path)> exists =
      [](const std::filesystem::path& path) {
        std::error_code ec;
        return std::filesystem::exists(std::filesystem::symlink_status(path, ec));
      };
};

// The Job of every launch-mode run: the started ping, the update, the launcher copy and the
// registration, then the player, the studio or the welcome message; or, asked to repair, the
// outcome of checking every file, then the studio only when asked for. Its result is the exit code.
// It may replace context.link with a fresh join link.
int RunLaunchJob(LaunchContext& context, const ProgressReporter& report);
int RunLaunchJob(LaunchContext& context, const ProgressReporter& report,
                 const LaunchJobServices& services);
