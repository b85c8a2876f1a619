#include "app/launch_job.h"

int RunLaunchJob(LaunchContext& /*context*/, const ProgressReporter& report) {
  report("Starting...", -1.0);
  return 0;
}
