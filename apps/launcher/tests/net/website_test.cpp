#include "net/website.h"
#include "net/stamp.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <fstream>
#include <optional>
#include <string>
#include <string_view>

#include "common/system.h"

using namespace std::string_literals;

namespace {

const std::string kToken = "0123456789abcdef0123456789abcdef";
const std::string kSite = "https://example.com";

std::string PlayPart(const std::string& token) { return "\r\nKELVADON-PLAY=" + token; }
std::string WebsitePart(const std::string& text) { return "\r\nKELVADON-WEBSITE=" + text + "\r\n"; }

// A website part whose marker starts exactly `distance` bytes before the end, padded with the
// leading spaces that normalisation removes.
std::string WebsitePartAt(size_t distance) {
  const size_t fixed = WebsitePart(kSite).size();
  return WebsitePart(std::string(distance - fixed, ' ') + kSite);
}

TEST(NormalizeWebsite, Table) {
  const std::string longest = "https://" + std::string(192, 'a');
  struct Case {
    std::string input;
    std::string expected;
  } cases[] = {
      {"https://example.com", "https://example.com"},
      {"http://example.com:8080/sub/folder", "http://example.com:8080/sub/folder"},
      {" \t\r\n\v\fhttps://example.com", "https://example.com"},
      {"https://example.com/games/ /\t\r\n/", "https://example.com/games"},
      {"https://example.com/?a=1&b=%20", "https://example.com/?a=1&b=%20"},
      {"/https://example.com", ""},
      {"", ""},
      {" \t/ ", ""},
      {"https://", ""},
      {"https:////", ""},
      {"http:// / ", ""},
      {"ftp://example.com", ""},
      {"HTTPS://example.com", ""},
      {"https:/example.com", ""},
      {"example.com", ""},
      {"https://exa mple.com", ""},
      {longest, longest},
      {longest + "/ /", longest},
      {longest + "a", ""},
      {"https://caf\xC3\xA9.example/\xE4\xBE\x8B", "https://caf\xC3\xA9.example/\xE4\xBE\x8B"},
      {"https://a.example/\xF0\x9F\x8E\xAE", "https://a.example/\xF0\x9F\x8E\xAE"},
      {"https://a\x80.example", ""},          // lone continuation byte
      {"https://a\xC0\xAF.example", ""},      // overlong "/"
      {"https://a\xE0\x80\xAF.example", ""},  // overlong, three bytes
      {"https://a\xE2\x82.example", ""},      // truncated sequence
      {"https://a.example/\xE2\x82", ""},     // truncated at the end
      {"https://a\xED\xA0\x80.example", ""},  // surrogate U+D800
  };
  for (const Case& c : cases) {
    EXPECT_EQ(NormalizeWebsite(c.input), c.expected) << "input: " << c.input;
  }
}

TEST(NormalizeWebsite, EveryByteInsideTheAddress) {
  for (int b = 0; b < 256; ++b) {
    const char c = static_cast<char>(b);
    const std::string input = "https://exa"s + c + "mple.com";
    // A single byte above 0x7F is never valid UTF-8 on its own.
    const bool refused = b <= 0x20 || c == '"' || c == '<' || c == '>' || c == '\\' || b >= 0x80;
    EXPECT_EQ(NormalizeWebsite(input), refused ? "" : input) << "byte " << b;
  }
}

TEST(IsValidPlayToken, Table) {
  struct Case {
    std::string text;
    bool valid;
  } cases[] = {
      {kToken, true},
      {"ffffffffffffffffffffffffffffffff", true},
      {kToken.substr(1), false},
      {kToken + "0", false},
      {"", false},
      {"0123456789ABCDEF0123456789abcdef", false},
      {"0123456789abcdeg0123456789abcdef", false},
      {"0123456789abcdef0123456789abcde\xE9", false},
      {"0123456789abcdef0123456789abcde\0"s, false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(IsValidPlayToken(c.text), c.valid) << c.text;
  }
}

// Appends each stamp to `body` and checks all four readers; `start` is an offset into the
// stamp, or none when the image must count as unstamped.
void CheckStamps(const std::string& body) {
  const std::string site2 = "https://second.example";
  const std::string token31 = kToken.substr(1);
  const std::string tokenCapital = "0123456789ABCDEF0123456789abcdef";
  const std::string tokenHighByte = "0123456789abcdef0123456789abcde\xE9";
  struct Case {
    const char* name;
    std::string stamp;
    std::string website;
    std::string play;
    std::optional<size_t> start;
  } cases[] = {
      {"none", "", "", "", std::nullopt},
      {"website", WebsitePart(kSite), kSite, "", 0},
      {"website and play", PlayPart(kToken) + WebsitePart(kSite), kSite, kToken, 0},
      {"trimmed", WebsitePart("  https://example.com/games/ "), "https://example.com/games", "", 0},
      {"marker 1024 from end", WebsitePartAt(1024), kSite, "", 0},
      {"marker 1025 from end", WebsitePartAt(1025), "", "", std::nullopt},
      {"play with marker 1024 from end", PlayPart(kToken) + WebsitePartAt(1024), kSite, kToken, 0},
      {"last marker wins", WebsitePart(kSite) + WebsitePart(site2), site2, "",
       WebsitePart(kSite).size()},
      {"play before an earlier marker", PlayPart(kToken) + WebsitePart(kSite) + WebsitePart(site2),
       site2, "", PlayPart(kToken).size() + WebsitePart(kSite).size()},
      {"damaged last marker hides earlier stamp", WebsitePart(kSite) + WebsitePart("ftp://x"), "",
       "", std::nullopt},
      {"LF without CR", "\r\nKELVADON-WEBSITE=" + kSite + "\n", "", "", std::nullopt},
      {"CR without LF", "\r\nKELVADON-WEBSITE=" + kSite + "\r", "", "", std::nullopt},
      {"second CR LF inside", WebsitePart("https://a\r\nb.example"), "", "", std::nullopt},
      {"empty line after", WebsitePart(kSite) + "\r\n", "", "", std::nullopt},
      {"byte after terminator", WebsitePart(kSite) + "x", "", "", std::nullopt},
      {"marker at the very end", "\r\nKELVADON-WEBSITE=", "", "", std::nullopt},
      {"marker and one byte", "\r\nKELVADON-WEBSITE=\r", "", "", std::nullopt},
      {"empty website", WebsitePart(""), "", "", std::nullopt},
      {"play token of 31 digits", PlayPart(token31) + WebsitePart(kSite), kSite, "",
       PlayPart(token31).size()},
      {"play token of 33 digits", PlayPart(kToken + "0") + WebsitePart(kSite), kSite, "",
       PlayPart(kToken).size() + 1},
      {"capital in play token", PlayPart(tokenCapital) + WebsitePart(kSite), kSite, "",
       PlayPart(kToken).size()},
      {"high byte in play token", PlayPart(tokenHighByte) + WebsitePart(kSite), kSite, "",
       PlayPart(kToken).size()},
      {"play marker without CR", PlayPart(kToken).substr(1) + WebsitePart(kSite), kSite, "",
       PlayPart(kToken).size() - 1},
      {"byte between play and website", PlayPart(kToken) + "x" + WebsitePart(kSite), kSite, "",
       PlayPart(kToken).size() + 1},
      {"valid play, rejected website", PlayPart(kToken) + WebsitePart("ftp://example.com"), "", "",
       std::nullopt},
      {"valid play, website too long",
       PlayPart(kToken) + WebsitePart("https://" + std::string(193, 'a')), "", "", std::nullopt},
  };
  // One buffer for every case: the body may be this whole test program.
  std::string image = body;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    image.resize(body.size());
    image += c.stamp;
    EXPECT_EQ(ReadWebsiteStamp(image), c.website);
    EXPECT_EQ(ReadPlayStamp(image), c.play);
    const std::optional<size_t> start = StampStart(image);
    if (c.start) {
      ASSERT_TRUE(start.has_value());
      EXPECT_EQ(*start, body.size() + *c.start);
    } else {
      EXPECT_FALSE(start.has_value());
    }
    const std::optional<size_t> play = FindPlayStamp(image);
    EXPECT_EQ(play.has_value(), !c.play.empty());
    if (play) {
      EXPECT_EQ(play, start);
    }
    // The self-update reads only the file's tail: it must give the same answers.
    const size_t cut = image.size() - std::min(image.size(), kStampTailLength);
    const std::string_view tail = std::string_view(image).substr(cut);
    EXPECT_EQ(ReadWebsiteStamp(tail), c.website);
    EXPECT_EQ(ReadPlayStamp(tail), c.play);
    const std::optional<size_t> tailStart = StampStart(tail);
    EXPECT_EQ(tailStart.has_value(), start.has_value());
    if (tailStart && start) {
      EXPECT_EQ(cut + *tailStart, *start);
    }
  }
}

TEST(Stamp, ShortImages) {
  // An empty body puts the first marker at position 0.
  CheckStamps("");
  CheckStamps("MZ");
  CheckStamps(std::string(3000, '\0'));
}

TEST(Stamp, OwnExecutableImage) {
  std::ifstream file(OwnExecutablePath(), std::ios::binary | std::ios::ate);
  ASSERT_TRUE(file.is_open());
  std::string image(static_cast<size_t>(file.tellg()), '\0');
  file.seekg(0);
  ASSERT_TRUE(file.read(image.data(), static_cast<std::streamsize>(image.size())));
  ASSERT_GT(image.size(), 1024u);
  // The marker texts are compiled into this program; they must not read as a stamp.
  EXPECT_EQ(ReadWebsiteStamp(image), "");
  EXPECT_FALSE(StampStart(image).has_value());
  CheckStamps(image);
}

TEST(ParseSetupFileName, Table) {
  const std::string host = "play.example-1.com";
  struct Case {
    std::string name;
    std::string website;
    std::string play;
  } cases[] = {
      {"kelvadonsetup_" + host + ".exe", "https://" + host, ""},
      {"KELVADONSETUP_" + host + ".EXE", "https://" + host, ""},
      {"KelvadonSetup_Play.Example.COM.Exe", "https://Play.Example.COM", ""},
      {"kelvadonsetup_" + host, "https://" + host, ""},
      {"kelvadonsetup_http~" + host + "+8080 (3).exe", "http://" + host + ":8080", ""},
      {"kelvadonsetup_" + host + "(12).exe", "https://" + host, ""},
      {"kelvadonsetup_" + host + " (3)  .exe", "https://" + host, ""},
      {"kelvadonsetup_" + host + " (3) (4).exe", "", ""},
      {"kelvadonsetup_" + host + " (copy).exe", "", ""},
      {"kelvadonsetup_" + host + " ( ).exe", "", ""},
      {"kelvadonsetup_" + host + " ().exe", "", ""},
      {"kelvadonsetup_" + host + " .exe", "https://" + host, ""},
      {"kelvadonsetup_" + host + "_" + kToken + ".exe", "https://" + host, kToken},
      {"kelvadonsetup_" + host + "_" + kToken + " (1).exe", "https://" + host, kToken},
      {"kelvadonsetup_" + host + "_" + kToken.substr(1) + ".exe", "https://" + host, ""},
      {"kelvadonsetup_" + host + "_" + kToken + "0.exe", "https://" + host, ""},
      {"kelvadonsetup_" + host + "_0123456789ABCDEF0123456789abcdef.exe", "https://" + host, ""},
      {"kelvadonsetup_" + host + "_" + kToken + "_x.exe", "https://" + host, ""},
      {"kelvadonsetup_[2001+db8++1]+8080.exe", "https://[2001:db8::1]:8080", ""},
      {"kelvadonsetup_http~[++1]_" + kToken + ".exe", "http://[::1]", kToken},
      {"kelvadonsetup_HTTP~" + host + ".exe", "https://HTTP~" + host, ""},
      {"kelvadonsetup_.exe", "", ""},
      {"kelvadonsetup__" + kToken + ".exe", "", ""},
      {"kelvadonsetup_http~.exe", "", ""},
      {"kelvadonsetup_http~_" + kToken + ".exe", "", ""},
      {"kelvadonsetup_caf\xC3\xA9.example.exe", "", ""},
      {"kelvadonsetup_exa mple.com_" + kToken + ".exe", "", ""},
      {"kelvadonsetup_example.com:8080.exe", "", ""},
      {"kelvadonsetup_example.com/x.exe", "", ""},
      {"kelvadonsetup_" + std::string(193, 'a') + "_" + kToken + ".exe", "", ""},
      {"kelvadonsetup-" + host + ".exe", "", ""},
      {"setup.exe", "", ""},
      {".exe", "", ""},
      {"", "", ""},
  };
  for (const Case& c : cases) {
    const SetupNameInfo info = ParseSetupFileName(c.name);
    EXPECT_EQ(info.website, c.website) << c.name;
    EXPECT_EQ(info.play, c.play) << c.name;
  }
}

// A PE file's first bytes up to its certificate table: the header pointer, the 64-bit optional
// header's directory count and the security entry at their places, then signed bytes of its own.
std::string SignedImage(uint32_t tableOffset, uint32_t tableSize, uint32_t certificateLength) {
  std::string image(tableOffset, 'x');
  image.replace(0, 2, "MZ");
  image.replace(0x3C, 4, LittleEndian32(0x80));
  image.replace(0x80, 4, std::string("PE\0\0", 4));
  image.replace(0x80 + 24, 2, std::string("\x0b\x02", 2));
  image.replace(0x80 + 24 + 108, 4, LittleEndian32(16));
  image.replace(0x80 + 24 + 112 + 32, 8, LittleEndian32(tableOffset) + LittleEndian32(tableSize));
  std::string table = LittleEndian32(certificateLength) + std::string("\x00\x02\x02\x00", 4);
  table += std::string(tableSize - 8, 'c');
  return image + table;
}

// The stamp inside the table with its lengths grown, as setup writes it.
std::string StampInside(std::string image, uint32_t tableOffset, const std::string& stamp,
                        char paddingByte = '\0') {
  const size_t padding = (8 - (image.size() + stamp.size()) % 8) % 8;
  const auto grown = static_cast<uint32_t>(padding + stamp.size());
  const size_t sizeAt = 0x80 + 24 + 112 + 32 + 4;
  image.replace(sizeAt, 4, LittleEndian32(ReadLittleEndian32(image.substr(sizeAt, 4)) + grown));
  image.replace(tableOffset, 4,
                LittleEndian32(ReadLittleEndian32(image.substr(tableOffset, 4)) + grown));
  return image + std::string(padding, paddingByte) + stamp;
}

TEST(CleanImageTest, CutsTheStampAndRestoresASignedTable) {
  const std::string stamp =
      "\r\nKELVADON-PLAY=0123456789abcdef0123456789abcdef"
      "\r\nKELVADON-WEBSITE=https://games.example\r\n";
  const std::string shortStamp = "\r\nKELVADON-WEBSITE=https://g.example/ab\r\n";
  const std::string built = SignedImage(0x400, 0x800, 0x800);
  const std::string unpadded = SignedImage(0x400, 0x800, 0x7FD);
  std::string unsignedImage = built;
  unsignedImage.replace(0x80 + 24 + 112 + 32, 8, std::string(8, '\0'));
  struct Case {
    const char* name;
    std::string image;
    std::string clean;
  };
  const Case cases[] = {
      {"signed, stamp inside the table", StampInside(built, 0x400, stamp), built},
      {"signed, a stamp of another length", StampInside(built, 0x400, shortStamp), built},
      {"a certificate length without its padding", StampInside(unpadded, 0x400, stamp), unpadded},
      {"signed, stamp plainly appended", built + stamp, built},
      {"unsigned, stamp appended", unsignedImage + stamp, unsignedImage},
      {"padding that is not zero is no signed stamp", StampInside(built, 0x400, shortStamp, 'z'),
       StampInside(built, 0x400, shortStamp, 'z')
           .substr(0, StampInside(built, 0x400, shortStamp, 'z').size() - shortStamp.size())},
      {"no stamp", built, built},
      {"no PE file", "plain bytes" + stamp, "plain bytes"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_TRUE(CleanImageOf(c.image) == c.clean);
    // From the tail and a few header reads alone, as a reader that never holds the whole file.
    const std::string_view image = c.image;
    const std::string_view tail =
        image.substr(image.size() - std::min(image.size(), kStampTailLength));
    int reads = 0;
    const CleanImage described =
        DescribeCleanImage(image.size(), tail, [image, &reads](uint64_t offset, size_t length) {
          ++reads;
          EXPECT_LE(length, 8u);
          return offset < image.size() ? std::string(image.substr(offset, length)) : std::string();
        });
    std::string rebuilt(image.substr(0, described.length));
    for (const BytePatch& patch : described.patches) rebuilt.replace(patch.offset, 4, patch.bytes);
    EXPECT_TRUE(rebuilt == c.clean);
    EXPECT_LE(reads, 10);
  }
}

}  // namespace
