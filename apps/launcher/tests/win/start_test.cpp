// Starts a real program that records what it received, in both builds.
#include "win/start.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "common/system.h"
#include "common/text.h"

namespace {

namespace fs = std::filesystem;

struct Record {
  fs::path currentFolder;
  std::vector<std::string> args;
};

// The recorder sits beside the test programs' tools and has their extension.
fs::path RecorderProgram() {
  const fs::path own = OwnExecutablePath();
  fs::path name = "arg_recorder";
  name += own.extension();
  return own.parent_path() / "tools" / name;
}

std::string UniqueSuffix() {
  return std::to_string(std::chrono::steady_clock::now().time_since_epoch().count());
}

class StartProgramTest : public testing::Test {
 protected:
  void SetUp() override {
    // The program lies outside the test's current folder, in a folder whose name has spaces and
    // letters outside ASCII.
    folder_ = fs::temp_directory_path() / PathFromUtf8("Zo\xc3\xab start " + UniqueSuffix());
    fs::create_directories(folder_);
    program_ = folder_ / "the player";
    program_ += RecorderProgram().extension();
    ASSERT_TRUE(fs::copy_file(RecorderProgram(), program_)) << RecorderProgram();
  }
  void TearDown() override {
    std::error_code ec;
    fs::remove_all(folder_, ec);
  }

  fs::path RecordPath() const { return folder_ / "arg_recorder.txt"; }

  // Waits for the recorder's file and splits it.
  bool WaitForRecord(Record& record) const {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (!fs::exists(RecordPath())) {
      if (std::chrono::steady_clock::now() > deadline) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    std::ifstream in(RecordPath(), std::ios::binary);
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::vector<std::string> fields;
    for (size_t start = 0; start < text.size();) {
      const size_t end = text.find('\0', start);
      if (end == std::string::npos) return false;
      fields.push_back(text.substr(start, end - start));
      start = end + 1;
    }
    if (fields.empty()) return false;
    record.currentFolder = PathFromUtf8(fields[0]);
    record.args.assign(fields.begin() + 1, fields.end());
    return true;
  }

  fs::path folder_;
  fs::path program_;
};

TEST_F(StartProgramTest, ArgumentsArriveExactlyAndTheProgramRunsInItsOwnFolder) {
  const std::vector<std::vector<std::string>> lists = {
      {},
      {
          "",
          "kelvadon://join?play=0123456789abcdef0123456789abcdef&origin=https%3A%2F%2Fa.test",
          "with  spaces",
          "C:\\my dir\\",
          "two\\\\",
          "\\",
          "inner\\back\\slash",
          "100% %1 %PATH%",
          "Zo\xc3\xab \xc3\x85str\xc3\xb6m \xe2\x82\xac",
          "\xf0\x9f\x8e\xae",
          "last\\",
      },
  };
  for (const std::vector<std::string>& args : lists) {
    std::error_code ec;
    fs::remove(RecordPath(), ec);
    std::string error = "untouched";
    ASSERT_TRUE(StartProgram(program_, args, error)) << error;
    EXPECT_EQ(error, "untouched");
    Record record;
    ASSERT_TRUE(WaitForRecord(record));
    EXPECT_EQ(record.args, args);
    EXPECT_TRUE(fs::equivalent(record.currentFolder, folder_))
        << PathToUtf8(record.currentFolder) << " vs " << PathToUtf8(folder_);
  }
}

TEST_F(StartProgramTest, RefusesArgumentsWindowsCouldNotPassOn) {
  struct Case {
    const char* name;
    std::vector<std::string> args;
    std::string error;
  };
  const Case cases[] = {
      {"quote in the second argument",
       {"kelvadon://join?play=1", "a\"b"},
       "That link has a \" in it"},
      {"quote alone", {"\""}, "That link has a \" in it"},
      {"not UTF-8", {"\xc3("}, "That link isn't text Windows can read"},
  };
  for (const Case& c : cases) {
    std::string error = "untouched";
    EXPECT_FALSE(StartProgram(program_, c.args, error)) << c.name;
    EXPECT_EQ(error, c.error) << c.name;
  }
  // Refusals come before any start, so the recorder never ran.
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  EXPECT_FALSE(fs::exists(RecordPath()));
}

TEST_F(StartProgramTest, MissingProgramGivesTheSystemsErrorNumber) {
  std::string error = "untouched";
  EXPECT_FALSE(StartProgram(folder_ / "kelvadon_player.exe", {"kelvadon://join?x"}, error));
  EXPECT_EQ(error, "Windows wouldn't start it (Windows error 2)");
}

TEST(OpenInBrowser, ReturnsQuietlyOnTextWindowsCannotRead) {
  OpenInBrowser("https://example.test/\xff");
  OpenInBrowser("");
}

#ifndef _WIN32
// The stand-in opens through xdg-open from PATH; a fake one shows what it was given, and without
// any nothing happens.
TEST(OpenInBrowser, HandsTheAddressToXdgOpenWhenThereIsOne) {
  const fs::path bin = fs::temp_directory_path() / ("fake xdg " + UniqueSuffix());
  fs::create_directories(bin);
  const fs::path seen = bin / "seen.txt";
  {
    std::ofstream script(bin / "xdg-open");
    script << "#!/bin/sh\nprintf '%s' \"$1\" > \"" << seen.native() << ".new\"\n/bin/mv \""
           << seen.native() << ".new\" \"" << seen.native() << "\"\n";
  }
  fs::permissions(bin / "xdg-open", fs::perms::owner_all);
  const char* oldPath = std::getenv("PATH");
  const std::string savedPath = oldPath != nullptr ? oldPath : "";

  setenv("PATH", bin.c_str(), 1);
  OpenInBrowser("https://example.test/games?a=1&b=%20");
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!fs::exists(seen) && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  std::ifstream in(seen);
  std::string address;
  std::getline(in, address);
  EXPECT_EQ(address, "https://example.test/games?a=1&b=%20");

  setenv("PATH", (bin / "empty").c_str(), 1);
  OpenInBrowser("https://example.test/games");

  setenv("PATH", savedPath.c_str(), 1);
  std::error_code ec;
  fs::remove_all(bin, ec);
}
#endif

}  // namespace
