#include "update/trust/freshness.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <limits>
#include <optional>
#include <string>

#include "tests/update/test_website.h"
#include "update/store/install_root.h"
#include "update/store/sequence.h"

namespace fs = std::filesystem;

namespace {

constexpr char kPrefix[] = "The update's list of files doesn't make sense (";
constexpr char kOlder[] =
    "The update is older than one already seen on this computer, so it wasn't installed";
constexpr char kExpired[] =
    "The update has expired, so it wasn't installed: check this computer's date and time";

const std::string kFiles =
    "\"files\": [{\"path\": \"a.exe\", \"sha256\": "
    "\"0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef\", \"size\": 3}]";

std::string WithMembers(const std::string& members) {
  return "{\"version\": \"1.0\", " + members + (members.empty() ? "" : ", ") + kFiles + "}";
}

TEST(UtcTime, OnlyTheOneFormReadsAndItRoundTrips) {
  struct Case {
    const char* text;
    std::optional<int64_t> seconds;  // nothing: refused
  };
  const Case cases[] = {
      {"1970-01-01T00:00:00Z", 0},
      {"2027-06-01T00:00:00Z", 1811808000},
      {"2000-02-29T23:59:59Z", 951868799},
      {"2024-02-29T12:00:00Z", 1709208000},
      {"2100-03-01T00:00:00Z", 4107542400},
      {"9999-12-31T23:59:59Z", 253402300799},
      {"2100-02-29T00:00:00Z", std::nullopt},  // not a leap year
      {"2023-02-29T00:00:00Z", std::nullopt},
      {"2027-06-31T00:00:00Z", std::nullopt},
      {"2027-13-01T00:00:00Z", std::nullopt},
      {"2027-00-01T00:00:00Z", std::nullopt},
      {"2027-06-00T00:00:00Z", std::nullopt},
      {"2027-06-01T24:00:00Z", std::nullopt},
      {"2027-06-01T23:60:00Z", std::nullopt},
      {"2027-06-01T23:59:60Z", std::nullopt},  // a leap second
      {"1969-12-31T23:59:59Z", std::nullopt},
      {"2027-06-01t00:00:00Z", std::nullopt},
      {"2027-06-01T00:00:00z", std::nullopt},
      {"2027-06-01 00:00:00Z", std::nullopt},
      {"2027-06-01T00:00:00", std::nullopt},
      {"2027-06-01T00:00:00.5Z", std::nullopt},
      {"2027-06-01T00:00:00+00:00", std::nullopt},
      {"2027-6-01T00:00:00Z", std::nullopt},
      {"+027-06-01T00:00:00Z", std::nullopt},
      {"2027-06-01", std::nullopt},
      {"", std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    int64_t seconds = -7;
    EXPECT_EQ(ParseUtcTime(c.text, seconds), c.seconds.has_value());
    if (c.seconds) {
      EXPECT_EQ(seconds, *c.seconds);
      EXPECT_EQ(FormatUtcTime(seconds), c.text);
    }
  }
  // Times outside the readable range are written as its nearest end.
  EXPECT_EQ(FormatUtcTime(-1), "1970-01-01T00:00:00Z");
  EXPECT_EQ(FormatUtcTime(std::numeric_limits<int64_t>::max()), "9999-12-31T23:59:59Z");
}

TEST(FreshnessMembers, JsonFormsAndBadInput) {
  struct Case {
    std::string members;
    const char* reason;  // nullptr: accepted
    std::optional<uint64_t> sequence;
    std::optional<int64_t> expires;
  };
  const Case cases[] = {
      {"", nullptr, std::nullopt, std::nullopt},
      {"\"sequence\": 0", nullptr, 0, std::nullopt},
      {"\"sequence\": 7", nullptr, 7, std::nullopt},
      {"\"sequence\": 7.0", nullptr, 7, std::nullopt},
      {"\"sequence\": 9007199254740991", nullptr, 9007199254740991ull, std::nullopt},
      {"\"sequence\": 3, \"sequence\": 2.5", nullptr, 3, std::nullopt},  // the first counts
      {"\"sequence\": 7.5", "bad sequence", std::nullopt, std::nullopt},
      {"\"sequence\": -1", "bad sequence", std::nullopt, std::nullopt},
      {"\"sequence\": 9007199254740992", "bad sequence", std::nullopt, std::nullopt},
      {"\"sequence\": 1e300", "bad sequence", std::nullopt, std::nullopt},
      {"\"sequence\": \"7\"", "bad sequence", std::nullopt, std::nullopt},
      {"\"sequence\": null", "bad sequence", std::nullopt, std::nullopt},
      {"\"sequence\": [7]", "bad sequence", std::nullopt, std::nullopt},
      {"\"expires\": \"2027-06-01T00:00:00Z\"", nullptr, std::nullopt, 1811808000},
      {"\"sequence\": 4, \"expires\": \"2027-06-01T00:00:00Z\"", nullptr, 4, 1811808000},
      {"\"expires\": \"2027-06-01\"", "bad expires", std::nullopt, std::nullopt},
      {"\"expires\": \"2027-06-01T00:00:00+01:00\"", "bad expires", std::nullopt, std::nullopt},
      {"\"expires\": 1811808000", "bad expires", std::nullopt, std::nullopt},
      {"\"expires\": null", "bad expires", std::nullopt, std::nullopt},
      {"\"sequence\": 1.5, \"expires\": 0", "bad sequence", std::nullopt, std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.members);
    Manifest manifest;
    std::string error = "untouched";
    const bool accepted = ParseManifestContent(WithMembers(c.members), manifest, error);
    EXPECT_EQ(accepted, c.reason == nullptr);
    if (!accepted) {
      EXPECT_EQ(error, std::string(kPrefix) + c.reason + ")");
      continue;
    }
    EXPECT_EQ(error, "untouched");
    EXPECT_EQ(manifest.sequence, c.sequence);
    EXPECT_EQ(manifest.expires, c.expires);
    // What a launcher that knows neither member reads stays the same.
    Manifest plain;
    ASSERT_TRUE(ParseManifestContent(WithMembers(""), plain, error));
    EXPECT_EQ(manifest.version, plain.version);
    ASSERT_EQ(manifest.files.size(), 1u);
    EXPECT_EQ(manifest.files[0].path, plain.files[0].path);
    EXPECT_EQ(manifest.files[0].sha256, plain.files[0].sha256);
    EXPECT_EQ(manifest.files[0].size, plain.files[0].size);
  }
  // Inside a file entry they are someone else's members, ignored like any other.
  Manifest manifest;
  std::string error;
  ASSERT_TRUE(ParseManifestContent(
      "{\"version\": \"1.0\", \"files\": [{\"path\": \"a\", \"sequence\": -1, \"expires\": 3, "
      "\"sha256\": \"0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef\", "
      "\"size\": 1}]}",
      manifest, error))
      << error;
  EXPECT_FALSE(manifest.sequence);
  EXPECT_FALSE(manifest.expires);
}

class SequenceFileTest : public testing::Test {
 protected:
  void SetUp() override {
    root_ = MakeScratchFolder("kelvadon-freshness-");
    ASSERT_FALSE(root_.empty());
  }
  void TearDown() override {
    std::error_code ec;
    fs::remove_all(root_, ec);
  }
  fs::path root_;
};

TEST_F(SequenceFileTest, WhatCountsAsRemembered) {
  struct Case {
    const char* what;
    std::string content;  // written as sequence.txt unless missing
    bool missing;
    std::optional<uint64_t> remembered;
  };
  const Case cases[] = {
      {"missing", "", true, std::nullopt},
      {"empty", "", false, std::nullopt},
      {"as written", "7\n", false, 7},
      {"no line end", "7", false, 7},
      {"CR LF", "7\r\n", false, 7},
      {"zero", "0\n", false, 0},
      {"leading zeros", "007\n", false, 7},
      {"the largest", "9007199254740991\n", false, 9007199254740991ull},
      {"one more than the largest", "9007199254740992\n", false, std::nullopt},
      {"seventeen digits", "10000000000000000\n", false, std::nullopt},
      {"leading space", " 7\n", false, std::nullopt},
      {"negative", "-7\n", false, std::nullopt},
      {"a letter after", "7x\n", false, std::nullopt},
      {"two lines", "7\n8\n", false, std::nullopt},
      {"garbage", "\xFF\xFE garbage", false, std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    fs::remove(root_ / kSequenceFileName);
    if (!c.missing) WriteFiles(root_, {{kSequenceFileName, c.content}});
    EXPECT_EQ(ReadRememberedSequence(root_), c.remembered);
  }
  fs::remove(root_ / kSequenceFileName);
  fs::create_directories(root_ / kSequenceFileName);
  EXPECT_EQ(ReadRememberedSequence(root_), std::nullopt);
}

TEST_F(SequenceFileTest, JudgingAndRemembering) {
  constexpr int64_t kExpiry = 1811808000;
  constexpr int64_t kMin = std::numeric_limits<int64_t>::min();
  constexpr int64_t kMax = std::numeric_limits<int64_t>::max();
  struct Case {
    const char* what;
    std::optional<uint64_t> sequence;
    std::optional<int64_t> expires;
    const char* state;  // sequence.txt before; nullptr: missing
    int64_t now;
    const char* error;     // empty: accepted
    const char* after;     // sequence.txt after; nullptr: missing
    uint64_t minimum = 0;  // the build's lowest sequence
  };
  const Case cases[] = {
      {"first sequence", 3, std::nullopt, nullptr, kExpiry, "", "3\n"},
      {"higher", 4, std::nullopt, "3\n", kExpiry, "", "4\n"},
      {"equal: left as it was", 3, std::nullopt, "03\n", kExpiry, "", "03\n"},
      {"lower", 2, std::nullopt, "3\n", kExpiry, kOlder, "3\n"},
      {"zero below one", 0, std::nullopt, "1\n", kExpiry, kOlder, "1\n"},
      // An old manifest from before sequences existed, served again.
      {"absent once one is remembered", std::nullopt, std::nullopt, "3\n", kExpiry, kOlder, "3\n"},
      {"below the build's minimum on a first install", 4, std::nullopt, nullptr, kExpiry, kOlder,
       nullptr, 5},
      {"the build's minimum itself", 5, std::nullopt, nullptr, kExpiry, "", "5\n", 5},
      {"absent with a build minimum", std::nullopt, std::nullopt, nullptr, kExpiry, kOlder, nullptr,
       1},
      {"remembered above the build's minimum", 4, std::nullopt, "6\n", kExpiry, kOlder, "6\n", 2},
      {"absent, nothing remembered", std::nullopt, std::nullopt, nullptr, kExpiry, "", nullptr},
      {"garbage is replaced", 1, std::nullopt, "x\n", kExpiry, "", "1\n"},
      {"an hour after expiry", 5, kExpiry, nullptr, kExpiry + 3600, "", "5\n"},
      {"a second more", 5, kExpiry, nullptr, kExpiry + 3601, kExpired, nullptr},
      {"a clock far behind", 5, kExpiry, nullptr, kMin, "", "5\n"},
      {"a clock far ahead", 5, kExpiry, nullptr, kMax, kExpired, nullptr},
      {"no expiry, a clock far ahead", 5, std::nullopt, nullptr, kMax, "", "5\n"},
      {"lower and expired: the sequence speaks", 2, kExpiry, "3\n", kMax, kOlder, "3\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const fs::path state = root_ / kSequenceFileName;
    fs::remove(state);
    if (c.state != nullptr) WriteFiles(root_, {{kSequenceFileName, c.state}});
    Manifest manifest;
    manifest.sequence = c.sequence;
    manifest.expires = c.expires;
    std::string error;
    EXPECT_EQ(AcceptFreshManifest(root_, manifest, c.minimum, c.now, error),
              std::string(c.error).empty());
    EXPECT_EQ(error, c.error);
    EXPECT_EQ(fs::exists(state), c.after != nullptr);
    if (c.after != nullptr) {
      EXPECT_EQ(ReadBytes(state), c.after);
    }
    EXPECT_FALSE(fs::exists(root_ / "sequence.txt.new"));
  }
}

}  // namespace
