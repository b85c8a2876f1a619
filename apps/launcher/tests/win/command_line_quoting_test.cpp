#include "win/command_line_quoting.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#ifdef _WIN32
#include <windows.h>

#include <shellapi.h>
#endif

namespace {

TEST(CommandLineQuoting, QuotesEachArgumentAndDoublesOnlyTrailingBackslashes) {
  struct Case {
    const char* name;
    std::vector<std::wstring> args;
    std::wstring line;
  };
  const std::wstring program = L"C:\\Users\\Zo\u00eb\\Kelvadon\\kelvadon_player.exe";
  const std::wstring quoted = L"\"" + program + L"\"";
  const Case cases[] = {
      {"no arguments", {}, quoted},
      {"empty argument", {L""}, quoted + L" \"\""},
      {"spaces stay inside the quotes", {L"a b  c"}, quoted + L" \"a b  c\""},
      {"inner backslashes unchanged",
       {L"C:\\my dir\\place.kelvl"},
       quoted + L" \"C:\\my dir\\place.kelvl\""},
      {"one trailing backslash doubled", {L"C:\\dir\\"}, quoted + L" \"C:\\dir\\\\\""},
      {"three trailing backslashes doubled", {L"x\\\\\\"}, quoted + L" \"x\\\\\\\\\\\\\""},
      {"only backslashes", {L"\\\\"}, quoted + L" \"\\\\\\\\\""},
      {"percent signs and link text unchanged",
       {L"kelvadon://join?play=%41&origin=a%2Fb"},
       quoted + L" \"kelvadon://join?play=%41&origin=a%2Fb\""},
      {"non-ASCII unchanged",
       {L"\u00c5str\u00f6m \u20ac"},
       quoted + L" \"\u00c5str\u00f6m \u20ac\""},
      {"order kept", {L"first", L"", L"third\\"}, quoted + L" \"first\" \"\" \"third\\\\\""},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(BuildCommandLine(program, c.args), c.line) << c.name;
  }
}

TEST(CommandLineQuoting, ConvertsOrRefusesArguments) {
  struct Case {
    const char* name;
    std::vector<std::string> args;
    bool ok;
    std::string error;  // when refused
  };
  const Case cases[] = {
      {"none", {}, true, ""},
      {"plain and non-ASCII", {"kelvadon://join?play=1", "Zo\xc3\xab"}, true, ""},
      {"a double quote", {"a\"b"}, false, "That link has a \" in it"},
      {"quote in the second argument", {"fine", "\""}, false, "That link has a \" in it"},
      {"invalid UTF-8", {"ok", "\xff"}, false, "That link isn't text Windows can read"},
      // Arguments are looked at in order and the first refusal wins.
      {"quote before bad text", {"\"", "\xc3"}, false, "That link has a \" in it"},
      {"bad text before quote", {"\xc3", "\""}, false, "That link isn't text Windows can read"},
  };
  for (const Case& c : cases) {
    std::vector<std::wstring> wide = {L"left over"};
    std::string error = "untouched";
    EXPECT_EQ(ConvertArguments(c.args, wide, error), c.ok) << c.name;
    if (c.ok) {
      EXPECT_EQ(error, "untouched") << c.name;
      EXPECT_EQ(wide.size(), c.args.size()) << c.name;
    } else {
      EXPECT_EQ(error, c.error) << c.name;
      EXPECT_TRUE(wide.empty()) << c.name;
    }
  }
  std::vector<std::wstring> wide;
  std::string error;
  ASSERT_TRUE(ConvertArguments({"Zo\xc3\xab", ""}, wide, error));
  EXPECT_EQ(wide, (std::vector<std::wstring>{L"Zo\u00eb", L""}));
}

#ifdef _WIN32
// The started programs split their command line by CommandLineToArgvW's rule, so every argument
// must come back from it exactly.
TEST(CommandLineQuoting, RoundTripsThroughCommandLineToArgvW) {
  const std::wstring program = L"C:\\Program Files\\Kelvadon\\kelvadon_player.exe";
  const std::vector<std::wstring> args = {
      L"",        L"plain", L"with space", L"C:\\dir\\", L"C:\\dir\\\\",  L"\\",         L"\\\\\\",
      L"a\\b\\c", L"100%",  L"%1 %2",      L"tab\there", L"\u00e9\u20ac", L"\U0001F3AE", L"last\\",
  };
  const std::wstring line = BuildCommandLine(program, args);
  int count = 0;
  wchar_t** split = CommandLineToArgvW(line.c_str(), &count);
  ASSERT_NE(split, nullptr);
  ASSERT_EQ(count, static_cast<int>(args.size()) + 1);
  EXPECT_EQ(std::wstring(split[0]), program);
  for (size_t i = 0; i < args.size(); ++i) EXPECT_EQ(std::wstring(split[i + 1]), args[i]) << i;
  LocalFree(split);
}
#endif

}  // namespace
