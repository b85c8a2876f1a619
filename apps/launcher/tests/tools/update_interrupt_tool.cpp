// Runs one update and self-update the way the launch Job does, against a website folder, over a
// disk back-end (interrupting_disk.cpp) that can stop the process just before any step on the
// disk: with SIGKILL on Linux, with TerminateProcess on Windows, so that nothing is flushed or
// unwound. Used by update_interruption_test, resume_website_test and durable_trace_test.
//
//   update_interrupt_tool --root DIR (--website-folder DIR | --website URL) --own FILE
//                         --report FILE [--kill-before N] [--kill-after-bytes N]
//                         [--step-delay-ms MS] [--piece-bytes N]
//
// --website fetches from a real website through HttpFetch; --kill-after-bytes stops the process
// once that many bytes of client files have reached the engine (in the middle of a download).
// A step is a call of the disk seam that changes the disk, or the free-space check.
// The report file receives "steps N", "ready 0|1", "error TEXT", "client-bytes N" (the bytes of
// client files that arrived) and one "fetched URL" line per request made, and
// "download-thread-steps FIRST LAST" when steps were taken on threads other than the main one
// (the downloads running at once). --piece-bytes N fetches files of 4 N bytes
// or more in ranges of N. Exit code 0 when the update ended ready.

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <map>
#include <mutex>
#include <string>

#include "common/text.h"
#include "tests/tools/interrupting_disk.h"
#include "tests/update/test_website.h"
#include "tests/update/tool_process.h"
#include "update/engine.h"
#include "update/self_update.h"
#include "update/transfer/plan.h"

int main(int argc, char** argv) {
  std::map<std::string, std::string> options;
  for (int i = 1; i + 1 < argc; i += 2) options[argv[i]] = argv[i + 1];
  for (const char* required : {"--root", "--own", "--report"}) {
    if (options[required].empty()) return 2;
  }
  const std::string website = options["--website"];
  if (website.empty() && options["--website-folder"].empty()) return 2;
  const uint64_t killAfterBytes = std::strtoull(options["--kill-after-bytes"].c_str(), nullptr, 10);
  StopBeforeDiskStep(std::atol(options["--kill-before"].c_str()),
                     std::atol(options["--step-delay-ms"].c_str()));

  UpdateEnvironment environment;
  if (const uint64_t piece = std::strtoull(options["--piece-bytes"].c_str(), nullptr, 10)) {
    environment.downloads.pieceBytes = piece;
    environment.downloads.rangedFileBytes = 4 * piece;
  }
  environment.ownImage = PathFromUtf8(options["--own"]);

  const std::filesystem::path root = PathFromUtf8(options["--root"]);
  FetchLog log;
  const HttpFetcher inner =
      website.empty() ? FolderFetcher(PathFromUtf8(options["--website-folder"])) : HttpFetch;
  // Files are fetched from several threads at once.
  std::mutex logLock;
  std::atomic<uint64_t> clientBytes{0};
  const HttpFetcher fetch = [&](HttpSession& session, const HttpRequest& request,
                                const BodySink& sink, std::string& error, bool& responded) {
    {
      const std::lock_guard<std::mutex> hold(logLock);
      log.urls.push_back(request.url);
    }
    if (request.url.find("/client/files/") == std::string::npos) {
      return inner(session, request, sink, error, responded);
    }
    return inner(
        session, request,
        [&](const char* data, size_t size) {
          const bool taken = sink(data, size);
          if ((clientBytes += size) >= killAfterBytes && killAfterBytes != 0) StopThisProcess();
          return taken;
        },
        error, responded);
  };
  const std::string address = website.empty() ? std::string(kTestWebsite) : website;
  environment.fetch = fetch;
  const UpdateResult result = UpdateInstallation(
      address, root, [](const std::string&, double) {}, environment);
  std::string selfUpdateError;
  if (result.ready) {
    UpdateLauncherCopy(root, address, result.manifest, true, environment, selfUpdateError);
  }
  const DiskSteps steps = DiskStepsTaken();
  std::ofstream report(options["--report"], std::ios::trunc);
  report << "steps " << steps.taken << "\nready " << result.ready << "\nerror " << result.error
         << selfUpdateError << "\nclient-bytes " << clientBytes << "\n";
  if (steps.firstOnOtherThread != 0) {
    report << "download-thread-steps " << steps.firstOnOtherThread << " " << steps.lastOnOtherThread
           << "\n";
  }
  for (const std::string& url : log.urls) report << "fetched " << url << "\n";
  return result.ready ? 0 : 1;
}
