// Started by the tests in place of the player: writes its current folder and its arguments, as
// the system's own parser splits them, to "arg_recorder.txt" next to itself, each followed by a
// NUL byte. The file appears whole (written aside, then renamed), so a test can wait for it.
#ifdef _WIN32
#include <windows.h>

#include <shellapi.h>
#endif

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "common/system.h"
#include "common/text.h"

namespace fs = std::filesystem;

namespace {

std::vector<std::string> Arguments([[maybe_unused]] int argc, [[maybe_unused]] char** argv) {
  std::vector<std::string> args;
#ifdef _WIN32
  // The rule the started programs themselves use, rather than the C runtime's own parser.
  int count = 0;
  wchar_t** wide = CommandLineToArgvW(GetCommandLineW(), &count);
  if (wide == nullptr) return args;
  for (int i = 1; i < count; ++i) args.push_back(WideToUtf8(wide[i]));
  LocalFree(wide);
#else
  for (int i = 1; i < argc; ++i) args.push_back(argv[i]);
#endif
  return args;
}

}  // namespace

int main(int argc, char** argv) {
  const fs::path own = OwnExecutablePath();
  if (own.empty()) return 2;
  std::string record = PathToUtf8(fs::current_path());
  record.push_back('\0');
  for (const std::string& arg : Arguments(argc, argv)) {
    record += arg;
    record.push_back('\0');
  }
  const fs::path target = own.parent_path() / "arg_recorder.txt";
  fs::path aside = target;
  aside += ".new";
  {
    std::ofstream out(aside, std::ios::binary);
    out << record;
    if (!out.flush()) return 3;
  }
  std::error_code ec;
  fs::rename(aside, target, ec);
  return ec ? 4 : 0;
}
