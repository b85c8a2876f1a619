// An install whose one file is far larger than the memory the installing process may use: the
// engine has to stream it to the disk rather than hold it. Linux only (the address-space limit);
// the child is a build without sanitizers, whose own reservations would not fit under the limit.
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "files/file_io.h"
#include "tests/update/test_website.h"
#include "update/trust/crypto.h"

namespace fs = std::filesystem;

namespace {

constexpr uint64_t kFileBytes = uint64_t{256} << 20;
// Half the file: eight workers' stacks reserve 64 MiB of it, and pieces that arrive ahead of the
// hashing may hold 12 MiB.
constexpr rlim_t kAddressSpace = rlim_t{128} << 20;

struct ToolRun {
  int exitCode = -1;
  std::string output;
};

// The tool in a child held to the address space given; its standard output in output.
ToolRun RunLimited(const fs::path& root, const fs::path& website, rlim_t addressSpace) {
  ToolRun run;
  int pipeEnds[2];
  if (pipe(pipeEnds) != 0) return run;
  std::string tool = KELVADON_INSTALL_TOOL;
  std::string rootArg = root.string();
  std::string websiteArg = website.string();
  char* argv[] = {tool.data(), rootArg.data(), websiteArg.data(), nullptr};
  // One malloc arena: glibc reserves 64 MiB of address space for each further one a thread
  // gets, which would count against the limit whenever threads happen to contend.
  std::vector<char*> environment;
  for (char** variable = environ; *variable != nullptr; ++variable) {
    environment.push_back(*variable);
  }
  std::string oneArena = "MALLOC_ARENA_MAX=1";
  environment.push_back(oneArena.data());
  environment.push_back(nullptr);
  const pid_t pid = fork();
  if (pid == 0) {
    // Only calls that are safe between fork and exec.
    const rlimit limit = {addressSpace, addressSpace};
    dup2(pipeEnds[1], STDOUT_FILENO);
    close(pipeEnds[0]);
    if (setrlimit(RLIMIT_AS, &limit) != 0) _exit(3);
    execve(argv[0], argv, environment.data());
    _exit(4);
  }
  close(pipeEnds[1]);
  char buffer[4096];
  for (ssize_t got; (got = read(pipeEnds[0], buffer, sizeof buffer)) > 0;) {
    run.output.append(buffer, static_cast<size_t>(got));
  }
  close(pipeEnds[0]);
  int status = 0;
  if (pid > 0 && waitpid(pid, &status, 0) == pid && WIFEXITED(status)) {
    run.exitCode = WEXITSTATUS(status);
  }
  return run;
}

TEST(MemoryCeiling, AFileFarLargerThanTheAddressSpaceIsInstalled) {
  std::string reason;
  if (!CanPublish(reason)) GTEST_SKIP() << reason;
  const fs::path scratch = MakeScratchFolder("kelvadon-memory-ceiling-");
  ASSERT_FALSE(scratch.empty());
  const fs::path client = scratch / "client";
  const fs::path website = scratch / "web";
  fs::create_directories(client);

  // Bytes that differ along the file, so that a piece written twice or out of order shows.
  {
    std::ofstream out(client / "content.pak", std::ios::binary);
    std::vector<uint64_t> block(1 << 17);
    for (uint64_t written = 0, counter = 0; written < kFileBytes; written += block.size() * 8) {
      for (uint64_t& word : block) word = (++counter) * 0x9E3779B97F4A7C15ull;
      out.write(reinterpret_cast<const char*>(block.data()),
                static_cast<std::streamsize>(block.size() * 8));
    }
    ASSERT_TRUE(out.good());
  }
  WriteFiles(client, {{"kelvadon_player.exe", "player"}, {"kelvadon_studio.exe", "studio"}});
  std::string output;
  ASSERT_TRUE(PublishVersion(client, "1.0", website, {}, output)) << output;

  // The limit is real: too small a space stops the tool before it does anything at all.
  const ToolRun starved = RunLimited(scratch / "starved", website, rlim_t{1} << 20);
  EXPECT_NE(starved.exitCode, 0);
  EXPECT_FALSE(fs::exists(scratch / "starved" / "current.txt"));

  const fs::path root = scratch / "root";
  const ToolRun run = RunLimited(root, website, kAddressSpace);
  EXPECT_EQ(run.exitCode, 0) << run.output;
  const fs::path installed = root / "Versions" / "1.0" / "content.pak";
  std::error_code ec;
  EXPECT_EQ(fs::file_size(installed, ec), kFileBytes);
  const Sha256ProviderOwner provider = OpenSha256Provider();
  const Sha256HasherOwner hasher = StartSha256(*provider);
  ASSERT_TRUE(ReadFileInPieces(client / "content.pak", [&](const char* data, size_t size) {
    UpdateSha256(*hasher, data, size);
    return true;
  }));
  const std::string expected = FinishSha256Hex(*hasher);
  const Sha256HasherOwner check = StartSha256(*provider);
  ASSERT_TRUE(ReadFileInPieces(installed, [&](const char* data, size_t size) {
    UpdateSha256(*check, data, size);
    return true;
  }));
  EXPECT_EQ(FinishSha256Hex(*check), expected);
  EXPECT_EQ(ReadBytes(root / "current.txt"), "1.0\n");

  fs::remove_all(scratch, ec);
}

}  // namespace
