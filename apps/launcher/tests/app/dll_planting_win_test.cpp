// A setup program runs from the Downloads folder, where anything may lie beside it. The test's
// environment tells Wine to prefer a winhttp.dll found beside a program (winhttp=n,b), as Windows
// always does for a DLL that is not one of its KnownDLLs; a stand-in that leaves a marker when
// loaded then shows which programs would run a planted DLL.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <string>

#include "robot.h"

namespace {

namespace fs = std::filesystem;

std::string ReadText(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

class DllPlanting : public testing::Test {
 protected:
  void SetUp() override {
    downloads_ =
        fs::temp_directory_path() / ("kelvadon-planting-" + std::to_string(GetCurrentProcessId()));
    fs::remove_all(downloads_);
    fs::create_directories(downloads_ / "home");
    const fs::path tools = OwnFolder() / "tools" / "dll_planting";
    fs::copy_file(tools / "planted" / "winhttp.dll", downloads_ / "winhttp.dll");
    for (const fs::path& program : {tools / "static_winhttp_user.exe", tools / "http_get_host.exe",
                                    OwnFolder().parent_path() / "KelvadonLauncher.exe"}) {
      fs::copy_file(program, downloads_ / program.filename());
    }
  }
  void TearDown() override {
    std::error_code ec;
    fs::remove_all(downloads_, ec);
  }

  // Runs a program of the folder to its end and gives its exit code.
  DWORD Run(const wchar_t* program, const std::vector<std::wstring>& args) {
    StartedProcess started;
    EXPECT_TRUE(StartTestProcess(downloads_ / program, args, started));
    DWORD exitCode = 99;
    EXPECT_TRUE(WaitForExit(started, 30000, exitCode));
    return exitCode;
  }

  bool StandInLoaded() const { return fs::exists(downloads_ / "planted-winhttp-loaded.txt"); }

  fs::path downloads_;
};

TEST_F(DllPlanting, OnlyAProgramLinkedToWinhttpLoadsTheOneBesideIt) {
  // The control: without it the other two checks could pass because nothing was ever planted.
  EXPECT_EQ(Run(L"static_winhttp_user.exe", {}), 0u);
  ASSERT_TRUE(StandInLoaded()) << "Wine did not prefer the planted DLL; is winhttp=n,b set?";
  fs::remove(downloads_ / "planted-winhttp-loaded.txt");

  // HttpGet loads WinHTTP when first used: the text shows that the system's copy answered.
  const fs::path output = downloads_ / "error.txt";
  EXPECT_EQ(Run(L"http_get_host.exe", {L"nonsense", output.wstring()}), 1u);
  EXPECT_EQ(ReadText(output), "That isn't a web address: nonsense");
  EXPECT_FALSE(StandInLoaded()) << ReadText(downloads_ / "planted-winhttp-loaded.txt");

  // The launcher itself, up to its first window and out again.
  StartedProcess launcher;
  ASSERT_TRUE(StartTestProcess(downloads_ / "KelvadonLauncher.exe",
                               {L"--uninstall", L"--home", (downloads_ / "home").wstring()},
                               launcher));
  DialogSeen question;
  ASSERT_TRUE(WaitForDialog(launcher.id, 30000, question));
  ASSERT_TRUE(PressButton(question, IDNO));
  DWORD exitCode = 99;
  ASSERT_TRUE(WaitForExit(launcher, 20000, exitCode));
  EXPECT_EQ(exitCode, 0u);
  EXPECT_FALSE(StandInLoaded()) << ReadText(downloads_ / "planted-winhttp-loaded.txt");
}

}  // namespace
