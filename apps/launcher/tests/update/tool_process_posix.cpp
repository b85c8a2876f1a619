#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include "tests/update/tool_process.h"

extern char** environ;

void StopThisProcess() {
  raise(SIGKILL);
  _exit(1);
}

struct ToolProcess::Running {
  pid_t pid = -1;
};

ToolProcess::ToolProcess() = default;

ToolProcess::~ToolProcess() { Finish(); }

bool ToolProcess::Start(const std::vector<std::string>& args) {
  Finish();
  std::vector<std::string> copies = args;
  std::vector<char*> argv;
  argv.reserve(copies.size() + 1);
  for (std::string& arg : copies) argv.push_back(arg.data());
  argv.push_back(nullptr);
  pid_t pid = -1;
  if (argv[0] == nullptr ||
      posix_spawn(&pid, argv[0], nullptr, nullptr, argv.data(), environ) != 0) {
    return false;
  }
  running_ = std::make_unique<Running>();
  running_->pid = pid;
  return true;
}

ToolExit ToolProcess::Finish() {
  ToolExit result;
  if (!running_) return result;
  const pid_t pid = running_->pid;
  running_.reset();
  int status = 0;
  if (waitpid(pid, &status, 0) != pid) return result;
  result.stopped = WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL;
  if (WIFEXITED(status)) result.exitCode = WEXITSTATUS(status);
  return result;
}
