#pragma once

#include <string>

#include "common/types.h"

// Runs the Job on a worker thread behind the progress window and returns its result. When the
// user closes the window before the Job returns, the process ends here with exit code 1.
int RunWithProgressWindow(const Job& job);

// Replaces the window's status line and bar. Any thread; never throws.
void ReportProgress(const std::string& status, double fraction);

// "Kelvadon" message boxes. Never throw; text that is not valid UTF-8 is shown with U+FFFD.
bool AskYesNo(const std::string& question);
void ShowMessage(const std::string& text, bool warning);

// Runs a Job and turns anything it throws into the "something went wrong" warning and exit
// code 1, so no exception ever ends the process.
int RunJobGuarded(const Job& job, const ProgressReporter& report);
