#include <fcntl.h>
#include <spawn.h>

#include <cerrno>

#include "common/system.h"
#include "common/text.h"
#include "win/command_line_quoting.h"
#include "win/start.h"

extern char** environ;

// Stand-ins for the Windows calls with the same contract: the same refusals, the program's own
// folder as its current folder, no standard streams and no other open files passed on, and the
// error number of a failed start in the same sentence.

namespace {

struct SpawnActions {
  posix_spawn_file_actions_t actions;
  SpawnActions() { posix_spawn_file_actions_init(&actions); }
  SpawnActions(const SpawnActions&) = delete;
  SpawnActions& operator=(const SpawnActions&) = delete;
  ~SpawnActions() { posix_spawn_file_actions_destroy(&actions); }
};

// Standard streams on /dev/null and every other descriptor closed, as a Windows program started
// without inherited handles would have.
void DetachStreams(SpawnActions& spawn) {
  posix_spawn_file_actions_addopen(&spawn.actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&spawn.actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&spawn.actions, 2, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addclosefrom_np(&spawn.actions, 3);
}

std::vector<char*> ArgumentVector(std::vector<std::string>& strings) {
  std::vector<char*> argv;
  argv.reserve(strings.size() + 1);
  for (std::string& s : strings) argv.push_back(s.data());
  argv.push_back(nullptr);
  return argv;
}

}  // namespace

bool StartProgram(const std::filesystem::path& program, const std::vector<std::string>& args,
                  std::string& error) {
  std::vector<std::wstring> checked;
  if (!ConvertArguments(args, checked, error)) return false;

  std::vector<std::string> strings;
  strings.push_back(program.native());
  strings.insert(strings.end(), args.begin(), args.end());
  std::vector<char*> argv = ArgumentVector(strings);

  SpawnActions spawn;
  const std::string folder = program.parent_path().native();
  if (!folder.empty()) posix_spawn_file_actions_addchdir_np(&spawn.actions, folder.c_str());
  DetachStreams(spawn);
  pid_t pid = 0;
  const int failure =
      posix_spawn(&pid, program.c_str(), &spawn.actions, nullptr, argv.data(), environ);
  if (failure != 0) {
    errno = failure;  // posix_spawn returns its error instead of setting errno
    error = WithWindowsError("Windows wouldn't start it");
    return false;
  }
  return true;
}

// xdg-open may be missing (a server, a container); then nothing opens, as with no browser.
void OpenInBrowser(const std::string& address) {
  if (!IsValidUtf8(address)) return;  // refused as the Windows build refuses it
  std::vector<std::string> strings = {"xdg-open", address};
  std::vector<char*> argv = ArgumentVector(strings);
  SpawnActions spawn;
  DetachStreams(spawn);
  pid_t pid = 0;
  posix_spawnp(&pid, "xdg-open", &spawn.actions, nullptr, argv.data(), environ);
}
