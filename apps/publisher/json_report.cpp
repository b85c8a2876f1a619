#include <string>
#include <utility>
#include <vector>

#include "publisher.h"
#include "update/trust/freshness.h"

std::string JsonObjectText(const std::vector<std::pair<std::string, std::string>>& members) {
  std::string text = "{";
  for (const auto& [name, value] : members) {
    if (text.size() > 1) text += ", ";
    text += JsonQuoted(name) + ": " + value;
  }
  return text + "}";
}

std::string UpdateCostJson(const UpdateCost& cost) {
  const auto number = [](uint64_t n) { return std::to_string(n); };
  std::vector<std::pair<std::string, std::string>> members;
  if (cost.hasCurrent) {
    members = {{"currentVersion", JsonQuoted(cost.currentVersion)},
               {"added", number(cost.added)},
               {"changed", number(cost.changed)},
               {"removed", number(cost.removed)},
               {"wholeFileBytes", number(cost.wholeFileBytes)},
               {"wholeFiles", number(cost.wholeFiles)},
               {"chunkedBytes", number(cost.deltaBytes)},
               {"newChunkBytes", number(cost.newChunkBytes)},
               {"newChunks", number(cost.newChunks)},
               {"chunkListBytes", number(cost.chunkListBytes)},
               {"chunkLists", number(cost.chunkLists)},
               {"unlistedBytes", number(cost.unlistedBytes)},
               {"unlistedFiles", number(cost.unlistedFiles)},
               {"packedChunkedBytes", number(cost.packedDeltaBytes)},
               {"packedNewChunkBytes", number(cost.packedNewChunkBytes)},
               {"packedChunkListBytes", number(cost.packedChunkListBytes)},
               {"packedUnlistedBytes", number(cost.packedUnlistedBytes)},
               {"patchedBytes", number(cost.patchedDeltaBytes)},
               {"patchBytes", number(cost.patchBytes)},
               {"patches", number(cost.patches)},
               {"patchedNewChunkBytes", number(cost.patchedNewChunkBytes)},
               {"patchedChunkListBytes", number(cost.patchedChunkListBytes)},
               {"patchedUnlistedBytes", number(cost.patchedUnlistedBytes)}};
  }
  members.emplace_back("freshInstallBytes", number(cost.freshInstallBytes));
  members.emplace_back("files", number(cost.files));
  members.emplace_back("packedFreshInstallBytes", number(cost.packedFreshInstallBytes));
  members.emplace_back("packedFiles", number(cost.packedFiles));
  return JsonObjectText(members);
}

std::string VerifyJson(const VerifyReport& report) {
  const auto list = [](const std::vector<std::string>& lines) {
    std::string text = "[";
    for (const std::string& line : lines) text += (text.size() > 1 ? ", " : "") + JsonQuoted(line);
    return text + "]";
  };
  const Manifest* manifest = report.manifest;
  const auto orNull = [manifest](const auto& field) {
    return manifest != nullptr ? field() : "null";
  };
  return JsonObjectText(
             {{"command", JsonQuoted("verify")},
              {"website", JsonQuoted(report.website)},
              {"good", report.problems.empty() ? "true" : "false"},
              {"version", orNull([&] { return JsonQuoted(manifest->version); })},
              {"files", orNull([&] { return std::to_string(manifest->files.size()); })},
              {"sequence", orNull([&] {
                 return manifest->sequence ? std::to_string(*manifest->sequence) : "null";
               })},
              {"expires", orNull([&] {
                 return manifest->expires ? JsonQuoted(FormatUtcTime(*manifest->expires)) : "null";
               })},
              {"releaseKey", JsonQuoted(KeyShortName(report.releaseKey))},
              {"launcher", report.launcher != nullptr ? LauncherJson(*report.launcher) : "null"},
              {"problems", list(report.problems)},
              {"notes", list(report.notes)}}) +
         "\n";
}
