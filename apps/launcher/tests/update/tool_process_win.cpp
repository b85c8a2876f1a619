#include "common/text.h"
#include "common/windows_handles.h"
#include "tests/update/tool_process.h"
#include "win/command_line_quoting.h"

void StopThisProcess() {
  TerminateProcess(GetCurrentProcess(), kStoppedItselfCode);
  ExitProcess(1);
}

struct ToolProcess::Running {
  UniqueProcessInformation process;
};

ToolProcess::ToolProcess() = default;

ToolProcess::~ToolProcess() { Finish(); }

bool ToolProcess::Start(const std::vector<std::string>& args) {
  Finish();
  if (args.empty()) return false;
  const std::wstring program = Utf8ToWide(args[0]);
  std::vector<std::wstring> wide;
  for (size_t i = 1; i < args.size(); ++i) wide.push_back(Utf8ToWide(args[i]));
  std::wstring line = BuildCommandLine(program, wide);
  STARTUPINFOW startup = {};
  startup.cb = sizeof(startup);
  auto running = std::make_unique<Running>();
  if (!CreateProcessW(program.c_str(), line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                      &startup, running->process.Put())) {
    return false;
  }
  running_ = std::move(running);
  return true;
}

ToolExit ToolProcess::Finish() {
  ToolExit result;
  if (!running_) return result;
  const std::unique_ptr<Running> running = std::move(running_);
  // A tool that hangs is ended, so that the test fails instead of waiting for ever.
  const HANDLE process = running->process.Process();
  if (WaitForSingleObject(process, 120000) != WAIT_OBJECT_0) {
    TerminateProcess(process, 1);
    WaitForSingleObject(process, 10000);
    return result;
  }
  DWORD code = 0;
  if (!GetExitCodeProcess(process, &code)) return result;
  result.stopped = code == kStoppedItselfCode;
  if (!result.stopped) result.exitCode = static_cast<int>(code);
  return result;
}
