// Runs one update and self-update the way the launch Job does, against a website folder, with
// the engine built with KELVADON_TEST_HOOKS so that it can stop itself just before any step on the
// disk: with SIGKILL on Linux, with TerminateProcess on Windows, so that nothing is flushed or
// unwound. Used by update_interruption_test.
//
//   update_interrupt_tool --root DIR --website-folder DIR --own FILE --report FILE
//                         [--kill-before N] [--step-delay-ms MS]
//
// The report file receives "steps N", "ready 0|1" and "error TEXT" lines. Exit code 0 when the
// update ended ready.

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <map>
#include <string>
#include <thread>

#include "common/text.h"
#include "tests/update/test_website.h"
#include "tests/update/tool_process.h"
#include "update/disk_steps.h"
#include "update/engine.h"
#include "update/self_update.h"

namespace {

long gSteps = 0;
long gKillBefore = 0;
long gStepDelayMs = 0;

}  // namespace

void BeforeDiskStep() {
  ++gSteps;
  if (gStepDelayMs > 0) std::this_thread::sleep_for(std::chrono::milliseconds(gStepDelayMs));
  if (gSteps == gKillBefore) StopThisProcess();
}

int main(int argc, char** argv) {
  std::map<std::string, std::string> options;
  for (int i = 1; i + 1 < argc; i += 2) options[argv[i]] = argv[i + 1];
  for (const char* required : {"--root", "--website-folder", "--own", "--report"}) {
    if (options[required].empty()) return 2;
  }
  gKillBefore = std::atol(options["--kill-before"].c_str());
  gStepDelayMs = std::atol(options["--step-delay-ms"].c_str());

  const std::filesystem::path root = PathFromUtf8(options["--root"]);
  const HttpFetcher fetch = FolderFetcher(PathFromUtf8(options["--website-folder"]));
  const UpdateResult result = UpdateInstallation(
      kTestWebsite, root, [](const std::string&, double) {}, fetch);
  std::string selfUpdateError;
  if (result.ready) {
    UpdateLauncherCopy(root, kTestWebsite, result.manifest, selfUpdateError, fetch,
                       PathFromUtf8(options["--own"]));
  }
  std::ofstream report(options["--report"], std::ios::trunc);
  report << "steps " << gSteps << "\nready " << result.ready << "\nerror " << result.error
         << selfUpdateError << "\n";
  return result.ready ? 0 : 1;
}
