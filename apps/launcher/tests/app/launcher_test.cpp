#include "app/launcher.h"

#include <gtest/gtest.h>

#include <string>

namespace {

const std::string kToken = "0123456789abcdef0123456789abcdef";
const std::string kOtherToken = "fedcba9876543210fedcba9876543210";

std::string Stamped(const std::string& image, const std::string& website, const std::string& play) {
  std::string out = image;
  if (!play.empty()) out += "\r\nKELVADON-PLAY=" + play;
  return out + "\r\nKELVADON-WEBSITE=" + website + "\r\n";
}

struct Case {
  const char* name;
  std::string optionWebsite;  // already normalised, as the command line leaves it
  std::string link;
  std::string image;
  std::string fileName;
  std::string websiteFile;
  std::string website;
  std::string playToken;
  bool fromLink = false;  // the website serves this run only
};

TEST(ResolveWebsite, SourcesInTheirOrder) {
  const std::string image(4096, 'M');
  const Case cases[] = {
      {"option beats everything", "https://option.test", "kelvadon://join?origin=https://o.test",
       Stamped(image, "https://stamp.test", kToken), "KelvadonSetup_name.test.exe",
       "https://file.test\n", "https://option.test", kToken},
      {"stamp beats the file name", "", "", Stamped(image, "https://stamp.test", ""),
       "kelvadonsetup_name.test_" + kOtherToken + ".exe", "https://file.test\n",
       "https://stamp.test", kOtherToken},
      {"stamped token beats the name's token", "", "", Stamped(image, "https://stamp.test", kToken),
       "kelvadonsetup_name.test_" + kOtherToken + ".exe", "", "https://stamp.test", kToken},
      {"file name beats website.txt", "", "", image, "kelvadonsetup_http~name.test+8080.exe",
       "https://file.test\n", "http://name.test:8080", ""},
      {"website.txt first line, trailing slash removed", "", "", image, "KelvadonLauncher.exe",
       "https://file.test/\r\nhttps://second.test\n", "https://file.test", ""},
      {"origin only with a link", "", "kelvadon://join?play=1&origin=https%3A%2F%2Fo.test%2F",
       image, "KelvadonLauncher.exe", "", "https://o.test", "", true},
      {"bad website.txt falls to the origin", "", "kelvadon://join?origin=https://o.test", image,
       "KelvadonLauncher.exe", "ftp://nope\n", "https://o.test", "", true},
      {"nothing at all", "", "", image, "KelvadonLauncher.exe", "", "", ""},
      {"empty image and name", "", "", "", "", "", "", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    LaunchContext context;
    context.website = c.optionWebsite;
    context.link = c.link;
    context.playToken = "stale";
    ResolveWebsite(context, c.image, c.fileName, c.websiteFile);
    EXPECT_EQ(context.website, c.website);
    EXPECT_EQ(context.playToken, c.playToken);
    EXPECT_EQ(context.websiteFromLink, c.fromLink);
  }
}

}  // namespace
