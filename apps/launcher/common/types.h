#pragma once

#include <functional>
#include <string>

// Receives a status text (UTF-8) and a fraction; a fraction below 0 means no measurable progress.
using ProgressReporter = std::function<void(const std::string& status, double fraction)>;

// One run's work; returns the process exit code.
using Job = std::function<int(const ProgressReporter& report)>;
