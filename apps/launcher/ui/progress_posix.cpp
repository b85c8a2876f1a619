#include <unistd.h>

#include <atomic>
#include <cmath>
#include <cstdio>
#include <iostream>
#include <mutex>
#include <thread>

#include "common/text.h"
#include "ui/progress.h"

// Terminal stand-in for the window: the status line on stderr, boxes as printed text, and
// questions answered with y or n on standard input.

namespace {

std::mutex g_outputMutex;

}  // namespace

void ReportProgress(const std::string& status, double fraction) {
  try {
    const std::string shown = ReplaceInvalidUtf8(status);
    std::lock_guard<std::mutex> lock(g_outputMutex);
    if (fraction >= 0 && !std::isnan(fraction)) {
      std::fprintf(stderr, "%s [%3d%%]\n", shown.c_str(),
                   static_cast<int>(std::fmin(fraction, 1.0) * 100.0));
    } else {
      std::fprintf(stderr, "%s\n", shown.c_str());
    }
  } catch (...) {
    // A status line that cannot be shown is not worth ending the run for.
  }
}

int RunWithProgressWindow(const Job& job) {
  ReportProgress("Starting...", -1.0);
  std::atomic<int> result{1};
  std::thread worker([&] {
    result.store(RunJobGuarded(
        job, [](const std::string& status, double fraction) { ReportProgress(status, fraction); }));
  });
  worker.join();
  return result.load();
}

void ShowMessage(const std::string& text, bool warning) {
  try {
    const std::string shown = ReplaceInvalidUtf8(text);
    std::lock_guard<std::mutex> lock(g_outputMutex);
    std::fprintf(stderr, "[Kelvadon %s] %s\n", warning ? "warning" : "information", shown.c_str());
  } catch (...) {
  }
}

bool AskYesNo(const std::string& question) {
  try {
    {
      std::lock_guard<std::mutex> lock(g_outputMutex);
      std::fprintf(stderr, "[Kelvadon question] %s [y/n] ", ReplaceInvalidUtf8(question).c_str());
      std::fflush(stderr);
    }
    std::string answer;
    if (!std::getline(std::cin, answer)) return false;  // end of input counts as No
    return answer == "y" || answer == "Y" || answer == "yes";
  } catch (...) {
    return false;
  }
}
