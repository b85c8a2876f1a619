// Splits the input at NUL bytes into arguments and reads them as a command line, then reads the
// link's query the way the launch does.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "app/command_line.h"
#include "common/text.h"
#include "net/website.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<std::string> args(1);
  for (size_t i = 0; i < size; ++i) {
    if (data[i] == 0) {
      args.emplace_back();
    } else {
      args.back().push_back(static_cast<char>(data[i]));
    }
  }
  const LaunchContext context = ParseCommandLine(args, "/cwd");
  if (!context.link.empty()) {
    if (AsciiLower(context.link.substr(0, 9)) != "kelvadon:") __builtin_trap();
    // Nothing that redirects the run comes with a link.
    if (!context.website.empty() || !context.installRoot.empty() || !context.document.empty() ||
        context.uninstall) {
      __builtin_trap();
    }
    const std::string origin = NormalizeWebsite(QueryParameter(context.link, "origin"));
    (void)origin;
  }
  if (!context.document.empty() && !context.studio) __builtin_trap();
  (void)FirstLine(context.document);
  return 0;
}
