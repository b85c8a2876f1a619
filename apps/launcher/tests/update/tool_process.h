#pragma once

// A test program started by a test and waited for, in both builds, and the way such a program
// stops itself at once: SIGKILL on Linux, TerminateProcess with kStoppedItselfCode on Windows, so
// that nothing is flushed or unwound. Finish tells that apart from an ordinary exit.

#include <memory>
#include <string>
#include <vector>

// The exit code the tool gives TerminateProcess, so that a stop is told apart from an ordinary
// exit or a crash.
inline constexpr unsigned kStoppedItselfCode = 0x4B1DU;

// Ends the calling process at once.
[[noreturn]] void StopThisProcess();

struct ToolExit {
  bool stopped = false;  // it stopped itself (StopThisProcess)
  int exitCode = -1;     // the ordinary exit code; -1 when it did not exit or was not waited for
};

class ToolProcess {
 public:
  ToolProcess();
  ToolProcess(const ToolProcess&) = delete;
  ToolProcess& operator=(const ToolProcess&) = delete;
  // Waits for a process that Finish has not waited for.
  ~ToolProcess();

  // args[0] is the program, as this build opens it; the arguments are UTF-8.
  bool Start(const std::vector<std::string>& args);
  ToolExit Finish();

 private:
  struct Running;
  std::unique_ptr<Running> running_;
};
