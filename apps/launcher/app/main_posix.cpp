#include <string>
#include <vector>

#include "app/launcher.h"
#include "ui/progress.h"

int main(int argc, char** argv) {
  std::vector<std::string> args;
  for (int i = 1; i < argc; ++i) args.emplace_back(argv[i]);
  return RunJobGuarded([&args](const ProgressReporter&) { return RunLauncher(args); },
                       [](const std::string&, double) {});
}
