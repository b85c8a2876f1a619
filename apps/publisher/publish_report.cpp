#include <string>

#include "publisher.h"
#include "update/trust/freshness.h"

namespace {

std::string OptionalJson(const LauncherFacts* launcher) {
  return launcher != nullptr ? LauncherJson(*launcher) : "null";
}

std::string PublishJson(const PublishReport& report) {
  const Manifest& manifest = *report.manifest;
  return JsonObjectText(
             {{"command", JsonQuoted("publish")},
              {"dryRun", report.dryRun ? "true" : "false"},
              {"unchanged", report.unchanged ? "true" : "false"},
              {"version", JsonQuoted(manifest.version)},
              {"sequence", manifest.sequence ? std::to_string(*manifest.sequence) : "null"},
              {"expires", manifest.expires ? JsonQuoted(FormatUtcTime(*manifest.expires)) : "null"},
              {"files", std::to_string(manifest.files.size())},
              {"newInStore", std::to_string(report.newInStore)},
              {"launcher", OptionalJson(report.launcher)},
              {"currentLauncher", OptionalJson(report.currentLauncher)},
              {"cost", UpdateCostJson(report.cost)}}) +
         "\n";
}

}  // namespace

std::string ExpiryNote(const Manifest& manifest) {
  return manifest.expires ? ", expiring at " + FormatUtcTime(*manifest.expires) : std::string();
}

std::string MissingWebsiteFolder(const std::filesystem::path& website) {
  return "The website folder \"" + website.string() +
         "\" does not exist. For a new website make the folder first; publish does not, so that "
         "a mistyped folder is never taken for a new website whose sequence starts again at 1.";
}

std::string PublishReportText(const PublishReport& report) {
  if (report.json) return PublishJson(report);
  const Manifest& manifest = *report.manifest;
  const std::string sequence = manifest.sequence ? std::to_string(*manifest.sequence) : "none";
  if (report.unchanged) {
    return "Version " + manifest.version + " is already published as sequence " + sequence +
           " with these files" + (report.launcher != nullptr ? " and this launcher" : "") +
           "; nothing was changed.\n";
  }
  std::string text =
      report.dryRun ? "Dry run: version " + manifest.version + " would be published as sequence "
                    : "Published version " + manifest.version + " as sequence ";
  text += sequence + ExpiryNote(manifest) + ": " + std::to_string(manifest.files.size()) +
          " files (" + std::to_string(report.newInStore) + " new in client/files)";
  if (report.launcher != nullptr) text += " and the launcher " + report.launcher->path;
  text += report.dryRun ? ". Nothing was written.\n" : ".\n";
  return text + DescribeUpdateCost(report.cost) +
         DescribeLauncherChange(report.currentLauncher, report.launcher);
}
