#pragma once

#include "app/command_line.h"
#include "common/types.h"

// The Job of every launch-mode run; its result is the exit code.
int RunLaunchJob(LaunchContext& context, const ProgressReporter& report);
