#include "ui/progress.h"

int RunJobGuarded(const Job& job, const ProgressReporter& report) {
  try {
    return job(report);
  } catch (...) {
    ShowMessage("Something went wrong inside Kelvadon, so it stopped. Please try again.", true);
    return 1;
  }
}
