#include "app/command_line.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/text.h"

namespace {

namespace fs = std::filesystem;

// An absolute folder in the build's own path style.
fs::path CurrentFolder() { return fs::temp_directory_path() / "cwd"; }

LaunchContext Parse(const std::vector<std::string>& args) {
  return ParseCommandLine(args, CurrentFolder());
}

TEST(ParseCommandLine, NoArgumentsIsAPlainLaunch) {
  const LaunchContext c = Parse({});
  EXPECT_EQ(c.link, "");
  EXPECT_EQ(c.document, "");
  EXPECT_EQ(c.website, "");
  EXPECT_TRUE(c.installRoot.empty());
  EXPECT_FALSE(c.studio);
  EXPECT_FALSE(c.noStart);
  EXPECT_FALSE(c.uninstall);
}

struct FlagCase {
  std::vector<std::string> args;
  std::string link;
  bool studio;
  bool noStart;
  bool uninstall;
  bool repair = false;
};

TEST(ParseCommandLine, LinksAndFlags) {
  const FlagCase cases[] = {
      {{"kelvadon:"}, "kelvadon:", false, false, false},
      {{"kelvadon"}, "", false, false, false},
      // Windows hands a link over whatever the case of its scheme.
      {{"KELVADON://join?x"}, "KELVADON://join?x", false, false, false},
      {{"KelVadon:x"}, "KelVadon:x", false, false, false},
      {{"kelvadon-x:y"}, "", false, false, false},
      {{"kelvadon://a", "kelvadon://b"}, "kelvadon://b", false, false, false},
      {{"--studio", "--no-start"}, "", true, true, false},
      // A link never comes with the uninstall: a web page must not ask the player that.
      {{"--uninstall", "kelvadon://join?play=1"}, "kelvadon://join?play=1", false, false, false},
      {{"--uninstall"}, "", false, false, true},
      {{"--repair", "--studio"}, "", true, false, false, true},
      // Nor with the wait for every file to be read.
      {{"--repair", "kelvadon://join?play=1"}, "kelvadon://join?play=1", false, false, false},
      {{"--REPAIR", "repair"}, "", false, false, false},
      {{"--STUDIO", "-studio", "studio"}, "", false, false, false},
      // --home consumes the next argument even when it looks like an option.
      {{"--home", "--studio"}, "", false, false, false},
      {{"--website", "--uninstall"}, "", false, false, false},
      // An option without its value is ignored.
      {{"--studio", "--home"}, "", true, false, false},
  };
  for (const FlagCase& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.args));
    const LaunchContext context = Parse(c.args);
    EXPECT_EQ(context.link, c.link);
    EXPECT_EQ(context.studio, c.studio);
    EXPECT_EQ(context.noStart, c.noStart);
    EXPECT_EQ(context.uninstall, c.uninstall);
    EXPECT_EQ(context.repair, c.repair);
  }
}

TEST(ParseCommandLine, HomeTakesThePathAndMakesItAbsolute) {
  EXPECT_EQ(Parse({"--home", "--studio"}).installRoot, CurrentFolder() / "--studio");
  const fs::path absolute = fs::temp_directory_path() / "Kelvadon home";
  EXPECT_EQ(Parse({"--home", PathToUtf8(absolute)}).installRoot, absolute);
  EXPECT_EQ(Parse({"--home", "a", "--home", "b"}).installRoot, CurrentFolder() / "b");
}

TEST(ParseCommandLine, HomeThatIsNotUtf8KeepsTheDefault) {
  EXPECT_TRUE(Parse({"--home", "bad\xff"}).installRoot.empty());
  EXPECT_TRUE(Parse({"--home", "good", "--home", "\xc0\x80"}).installRoot.empty());
}

TEST(ParseCommandLine, WebsiteIsNormalisedAndALaterBadValueClearsIt) {
  EXPECT_EQ(Parse({"--website", "https://example.test/"}).website, "https://example.test");
  EXPECT_EQ(Parse({"--website", "https://example.test", "--website", "word"}).website, "");
  EXPECT_EQ(Parse({"--website", "word", "--website", "http://a.test"}).website, "http://a.test");
}

// A link can carry injected arguments (a raw quote splits it), so with a link on the line,
// spelled in any case, the options that move the install, the website or the studio's document
// are dropped, their values still consumed.
TEST(ParseCommandLine, LinkDisablesHomeWebsiteDocumentAndUninstall) {
  const std::vector<std::string> injected = {
      "--home",   "\\\\host@SSL\\DavWWWRoot\\k", "--website",   "https://evil.test",
      "--studio", "C:\\evil\\x.kelvl",           "--uninstall", "--repair"};
  for (const std::string& link :
       std::vector<std::string>{"kelvadon://join?play=x", "KELVADON:x", "Kelvadon:x"}) {
    for (const bool linkFirst : {true, false}) {
      std::vector<std::string> args = injected;
      args.insert(linkFirst ? args.begin() : args.end(), link + "\"");
      SCOPED_TRACE(testing::PrintToString(args));
      const LaunchContext c = Parse(args);
      EXPECT_EQ(c.link, link + "\"");
      EXPECT_TRUE(c.installRoot.empty());
      EXPECT_EQ(c.website, "");
      EXPECT_EQ(c.document, "");
      EXPECT_FALSE(c.uninstall);
      EXPECT_FALSE(c.repair);
    }
  }
  const LaunchContext plain = Parse(injected);
  EXPECT_FALSE(plain.installRoot.empty());
  EXPECT_EQ(plain.website, "https://evil.test");
  EXPECT_NE(plain.document, "");
  EXPECT_TRUE(plain.uninstall);
  EXPECT_TRUE(plain.repair);
}

TEST(ParseCommandLine, DocumentsStartTheStudio) {
  const fs::path castle = fs::temp_directory_path() / "Castle.KELVM";
  const LaunchContext c = Parse({PathToUtf8(castle)});
  EXPECT_EQ(c.document, PathToUtf8(castle));
  EXPECT_TRUE(c.studio);

  const LaunchContext relative = Parse({"notes.json"});
  EXPECT_EQ(relative.document, PathToUtf8(CurrentFolder() / "notes.json"));
  EXPECT_TRUE(relative.studio);

  // With a link the document is not taken: the link starts the player.
  const LaunchContext both = Parse({"kelvadon://join?a=b", "level.kelvlvl"});
  EXPECT_EQ(both.link, "kelvadon://join?a=b");
  EXPECT_EQ(both.document, "");

  const LaunchContext last = Parse({"a.kelvl", "b.txt", "c.kelvm"});
  EXPECT_EQ(last.document, PathToUtf8(CurrentFolder() / "c.kelvm"));
}

TEST(IsDocumentPath, ExtensionRules) {
  const struct {
    const char* path;
    bool document;
  } cases[] = {
      {"Castle.KELVM", true},
      {"notes.json", true},
      {"C:\\games\\place.kelvlvl", true},
      {"/home/u/model.Kelvl", true},
      {"archive.kelvlvl.bak", false},
      {".json", false},
      {"dir/.json", false},
      {"..", false},
      {"a.b/noext", false},
      {"C:.json", false},
      {"C:x.json", true},
      {"\\\\server.json", false},
      {"\\\\server.json\\share\\x.json", true},
      {"file.json:stream", true},
      {"file.txt:hidden.json", false},
      {"file.js\xc3\xb6n", false},
      {"--studio", false},
      {"", false},
      {"x.", false},
      {"x.kelvm ", false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(IsDocumentPath(c.path), c.document) << c.path;
  }
}

TEST(QueryParameter, PiecesNamesAndDecoding) {
  const struct {
    const char* link;
    const char* name;
    const char* value;
  } cases[] = {
      {"kelvadon://join?origin&origin=https%3A%2F%2Fa.test", "origin", "https://a.test"},
      {"kelvadon://join?play=abc&origin=x", "play", "abc"},
      {"kelvadon://join?origin=a+b", "origin", "a b"},
      {"kelvadon://join?origin=ab%4", "origin", "ab%4"},
      {"kelvadon://join?origin=ab%", "origin", "ab%"},
      {"kelvadon://join?origin=%zz", "origin", "%zz"},
      {"kelvadon://join", "origin", ""},
      {"", "origin", ""},
      {"kelvadon://join?Origin=x", "origin", ""},
      {"kelvadon://join?origin=1&origin=2", "origin", "1"},
      {"kelvadon://join?origin=", "origin", ""},
      {"kelvadon://join?a=1#frag&origin=x#y", "origin", "x#y"},
      {"kelvadon://join?x=1?origin=2", "origin", ""},
      {"kelvadon://join?o%72igin=x", "origin", ""},
      {"kelvadon://join?origin=a=b", "origin", "a=b"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(QueryParameter(c.link, c.name), c.value) << c.link;
  }
}

TEST(PercentDecode, BytesComeOutUnchecked) {
  EXPECT_EQ(PercentDecode("%41%62%2f%2F"), "Ab//");
  EXPECT_EQ(PercentDecode("%ff%00x"), std::string("\xff\0x", 3));
  EXPECT_EQ(PercentDecode("100%"), "100%");
  EXPECT_EQ(PercentDecode("%%41"), "%A");
  EXPECT_EQ(PercentDecode("a+b%2B"), "a b+");
}

TEST(FirstLine, CutsAtTheFirstLineBreak) {
  EXPECT_EQ(FirstLine("https://a.test\r\nmore"), "https://a.test");
  EXPECT_EQ(FirstLine("one\ntwo"), "one");
  EXPECT_EQ(FirstLine("one\rtwo"), "one");
  EXPECT_EQ(FirstLine(""), "");
  EXPECT_EQ(FirstLine("whole"), "whole");
  EXPECT_EQ(FirstLine("\nx"), "");
}

}  // namespace
