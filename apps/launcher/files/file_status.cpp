#include "files/file_status.h"

#include <thread>

namespace fs = std::filesystem;

std::vector<FileStatus> StatusesOf(const fs::path& folder, const std::vector<fs::path>& relatives) {
  std::vector<FileStatus> statuses(relatives.size());
  // A few hundred are read sooner than a thread starts.
  constexpr size_t kWorthASecondThread = 256;
  const size_t half = relatives.size() < kWorthASecondThread ? 0 : relatives.size() / 2;
  std::thread second;
  if (half > 0) {
    second =
        std::thread([&] { ReadStatuses(folder, relatives, half, relatives.size(), statuses); });
  }
  ReadStatuses(folder, relatives, 0, half > 0 ? half : relatives.size(), statuses);
  if (second.joinable()) second.join();
  return statuses;
}
