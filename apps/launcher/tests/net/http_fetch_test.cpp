// HttpFetch against the test website, the same cases in both builds: the body reaches the sink
// exactly, in order, whatever pieces it crosses in; every ceiling holds before the bytes do; and
// one session keeps one connection to a website.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "net/http.h"
#include "website_harness.h"

namespace {

namespace fs = std::filesystem;

// Wine 8's WinHTTP takes a connection closed before the announced length as the end of the body
// (see http_test.cpp). Should Wine change, the case fails and this list shrinks.
const std::set<std::string> kWineDeviations = {"closed part way"};

constexpr char kSite[] = "http-fetch-test";
constexpr char kEarlier[] = "an earlier error";
constexpr char kTooLong[] = "the answer was longer than it may be";
constexpr char kIgnored[] = "the website sent something else than the part";
constexpr uint64_t kExpected = 987654321;
constexpr uint32_t kTimeoutMs = 2000;
constexpr uint64_t kNoCeiling = UINT64_MAX;
constexpr char kPartWay[] = "The download stopped part way (is the internet on?)";
constexpr char kUnreachable[] = "Couldn't reach localhost (is the internet on?)";
// The slow answer's rule shortened to a second, with a website trickling far below its floor and
// one sending slowly but well above it.
constexpr uint32_t kSlowestBytesPerSecond = 512;
constexpr uint32_t kSlowWindowMs = 1000;
constexpr int kTricklingRate = 64;
constexpr int kSlowRate = 2048;
constexpr char kFingerprint[] = "5f3c9b1a0e7d2c4b6a8f9e1d3c5b7a9f0e2d4c6b8a1f3e5d7c9b0a2f4e6d8c1b";

// What a sink saw, and how it answers.
struct Received {
  std::string bytes;
  size_t pieces = 0;
  size_t largest = 0;
  size_t refuseAt = 0;  // answer false to this piece (counted from 1); 0 never
  std::vector<uint64_t> progress;
};

// The classes a fetch ends in, told apart by the tables through their own markers.
bool Ended(FetchStatus status, std::string& error) {
  if (status == FetchStatus::TooLong) error = kTooLong;
  if (status == FetchStatus::RangeIgnored) error = kIgnored;
  return status == FetchStatus::Done;
}

struct Fetched {
  bool ok = false;
  std::string error = kEarlier;
  bool responded = true;
  Received received;
};

Fetched Fetch(HttpSession& session, const std::string& url, uint64_t maxBytes,
              size_t refuseAt = 0) {
  Fetched result;
  result.received.refuseAt = refuseAt;
  Received& r = result.received;
  HttpRequest request;
  request.url = url;
  request.maxBytes = maxBytes;
  request.expectedSize = kExpected;
  request.progress = [&r](uint64_t received, uint64_t expected) {
    EXPECT_EQ(expected, kExpected);
    r.progress.push_back(received);
  };
  const FetchStatus status = HttpFetch(
      session, request,
      [&r](const char* data, size_t size) {
        EXPECT_GT(size, 0u) << "an empty piece";
        ++r.pieces;
        r.largest = std::max(r.largest, size);
        if (r.pieces == r.refuseAt) return false;
        r.bytes.append(data, size);
        return true;
      },
      result.error, result.responded);
  result.ok = Ended(status, result.error);
  return result;
}

class HttpFetchTest : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    if (!LoadTestWebsite(site_, setupError_)) return;
    settings_.timeoutMs = kTimeoutMs;
    settings_.caFile = site_.caFile.string();
    settings_.slowestBytesPerSecond = kSlowestBytesPerSecond;
    settings_.slowWindowMs = kSlowWindowMs;
    // Random, so that no encoding on the way shrinks them.
    big_ = RandomBytes(300000, 7);
    large_ = RandomBytes(4 << 20, 8);
    const fs::path folder = site_.root / kSite;
    fs::create_directories(folder);
    std::ofstream(folder / "big.bin", std::ios::binary) << big_;
    std::ofstream(folder / "large.bin", std::ios::binary) << large_;
    std::ofstream(folder / "empty.txt", std::ios::binary);
    std::ofstream(folder / "text.txt", std::ios::binary) << "Kelvadon\n";
    std::ofstream(folder / "small.bin", std::ios::binary) << big_.substr(0, kSmallAnswerMaxBytes);
    std::ofstream(folder / "small-over.bin", std::ios::binary)
        << big_.substr(0, kSmallAnswerMaxBytes + 1);
    // A second and a half's worth at the slow rate.
    manifest_ = "{\"version\": \"2.5\", \"files\": [" + std::string(1000, ' ') + "]}";
    file_ = big_.substr(0, 3 * kSlowRate / 2);
    fs::create_directories(folder / "client" / "files");
    std::ofstream(folder / "client" / "manifest.json", std::ios::binary) << manifest_;
    std::ofstream(folder / "client" / "files" / kFingerprint, std::ios::binary) << file_;
    ready_ = true;
  }

  void SetUp() override { ASSERT_TRUE(ready_) << setupError_; }

  static std::string Url(const std::string& website, const std::string& file) {
    return website + "/" + kSite + "/" + file;
  }

  // The connection number nginx logged for each request in log since the last call whose path
  // holds marker.
  static std::vector<std::string> Connections(AccessLog& log, const std::string& marker) {
    std::vector<LoggedRequest> requests;
    EXPECT_TRUE(log.Next(requests));
    std::vector<std::string> connections;
    for (const LoggedRequest& request : requests) {
      if (request.path.find(marker) != std::string::npos) {
        connections.push_back(request.connection);
      }
    }
    return connections;
  }

  static inline TestWebsite site_;
  static inline HttpSettings settings_;
  static inline std::string setupError_;
  static inline std::string big_;
  static inline std::string large_;
  static inline std::string manifest_;
  static inline std::string file_;
  static inline bool ready_ = false;
};

struct Case {
  std::string name;
  std::string url;
  uint64_t maxBytes;
  bool ok;
  std::string error;  // kEarlier when it must be left alone
  bool responded;
  const std::string* body = nullptr;  // what arrives whole on success, or a prefix on failure
  size_t refuseAt = 0;
  bool nothingRead = false;  // the sink is never called
};

TEST_F(HttpFetchTest, HandsTheBodyToTheSinkWithinItsCeiling) {
  const uint64_t size = big_.size();
  const std::string empty;
  const std::string endless = site_.faults + "/endless/" + kSite + "/client/";
  const auto trickled = [](int rate) {
    return site_.faults + "/trickle/" + std::to_string(rate) + "/" + kSite + "/client/";
  };
  const std::string notFound = "The website said 404 (there's no release on it yet)";
  const std::vector<Case> cases = {
      {"http whole", Url(site_.http, "big.bin"), size, true, kEarlier, true, &big_},
      {"https whole", Url(site_.https, "big.bin"), size, true, kEarlier, true, &big_},
      {"empty within a ceiling of 0", Url(site_.http, "empty.txt"), 0, true, kEarlier, true,
       &empty},
      {"odd chunks, no length", Url(site_.faults + "/chunks", "big.bin"), size, true, kEarlier,
       true, &big_},
      {"odd chunks, one byte over", Url(site_.faults + "/chunks", "big.bin"), size - 1, false,
       kTooLong, true, &big_},
      {"http announced one byte over", Url(site_.http, "big.bin"), size - 1, false, kTooLong, true,
       &big_, 0, true},
      {"https announced one byte over", Url(site_.https, "big.bin"), size - 1, false, kTooLong,
       true, &big_, 0, true},
      {"endless manifest", endless + "manifest.json", 64 << 20, false, kTooLong, true},
      {"endless signature", endless + "manifest.sig", 4096, false, kTooLong, true},
      {"endless file", endless + "files/" + kFingerprint, size, false, kTooLong, true},
      {"sink refuses", Url(site_.http, "big.bin"), kNoCeiling, false, kEarlier, true, &big_, 1},
      {"https sink refuses later", Url(site_.https, "large.bin"), kNoCeiling, false, kEarlier, true,
       &large_, 3},
      {"after a refusal the session still works", Url(site_.https, "big.bin"), size, true, kEarlier,
       true, &big_},
      {"reset part way", Url(site_.faults + "/reset/1000", "big.bin"), size, false, kPartWay, true,
       &big_},
      {"closed part way", Url(site_.faults + "/drop/1000", "big.bin"), size, false, kPartWay, true,
       &big_},
      // A trickle ends as a cut-off answer does, what arrived kept; a slow answer does not.
      {"trickling manifest", trickled(kTricklingRate) + "manifest.json", 64 << 20, false, kPartWay,
       true, &manifest_},
      {"trickling file", trickled(kTricklingRate) + "files/" + kFingerprint, size, false, kPartWay,
       true, &file_},
      {"slow but above the floor", trickled(kSlowRate) + "files/" + kFingerprint, size, true,
       kEarlier, true, &file_},
      {"302 followed", Url(site_.faults + "/redirect", "big.bin"), size, true, kEarlier, true,
       &big_},
      {"the redirecting server answers the next request itself", site_.faults + "/status/503/x",
       size, false, "The website said 503", true, nullptr, 0, true},
      {"https never redirected to http", Url(site_.https, "big.bin/to-http"), size, false,
       kUnreachable, false, nullptr, 0, true},
      {"404", Url(site_.http, "missing"), size, false, notFound, true, nullptr, 0, true},
      {"500", site_.faults + "/status/500/x", size, false, "The website said 500", true, nullptr, 0,
       true},
      // An error page longer than the ceiling is still the error, not an unreachable website.
      {"404 longer than a small ceiling", Url(site_.http, "missing"), 5, false, notFound, true,
       nullptr, 0, true},
      {"500 longer than a ceiling of 0", site_.faults + "/status/500/x", 0, false,
       "The website said 500", true, nullptr, 0, true},
      {"refused", site_.refused + "/x", size, false, kUnreachable, false, nullptr, 0, true},
  };
  // One session for them all: no failure may leave it unable to fetch the next answer.
  const HttpSessionOwner session = OpenHttpSession(settings_);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name + ": " + c.url);
    const Fetched got = Fetch(*session, c.url, c.maxBytes, c.refuseAt);
    const Received& r = got.received;
    if (RunningUnderWine() && kWineDeviations.contains(c.name)) {
      EXPECT_TRUE(got.ok && r.bytes != *c.body)
          << "Wine now follows Windows here; take the case off the list";
      continue;
    }
    EXPECT_EQ(got.ok, c.ok);
    EXPECT_EQ(got.error, c.error);
    EXPECT_EQ(got.responded, c.responded);
    EXPECT_LE(r.bytes.size(), c.maxBytes) << "more than the ceiling reached the sink";
    if (c.refuseAt != 0) {
      EXPECT_EQ(r.pieces, c.refuseAt) << "pieces after the refusal";
    }
    if (c.body != nullptr) {
      // Exactly the bytes, in order: whole on success, the start of them otherwise.
      if (c.ok) {
        EXPECT_EQ(r.bytes.size(), c.body->size());
        EXPECT_TRUE(r.bytes == *c.body);
      } else {
        EXPECT_TRUE(c.body->starts_with(r.bytes)) << r.bytes.size() << " bytes out of order";
        if (c.error == kPartWay) {
          EXPECT_LT(r.bytes.size(), c.body->size()) << "the whole body came before the failure";
        }
      }
    }
    // Progress after each piece the sink took, with the running total.
    if (c.ok) {
      ASSERT_EQ(r.progress.size(), r.pieces);
      uint64_t total = 0;
      for (size_t i = 0; i < r.progress.size(); ++i) {
        EXPECT_GT(r.progress[i], total);
        total = r.progress[i];
      }
      EXPECT_EQ(total, r.bytes.size());
    }
    if (c.nothingRead) {
      EXPECT_EQ(r.pieces, 0u) << "a body was read that had to be refused";
    }
  }
}

TEST_F(HttpFetchTest, ReadsInLargePieces) {
  const HttpSessionOwner session = OpenHttpSession(settings_);
  const Fetched got = Fetch(*session, Url(site_.http, "large.bin"), large_.size());
  ASSERT_TRUE(got.ok) << got.error;
  EXPECT_TRUE(got.received.bytes == large_);
  // A read loop that follows what has arrived in one packet, or one fixed small buffer, never
  // hands over more than 8 KiB at once.
  EXPECT_GT(got.received.largest, 8u << 10) << got.received.pieces << " pieces";
}

TEST_F(HttpFetchTest, OneSessionKeepsOneConnectionToAWebsite) {
  for (const std::string& website : {site_.http, site_.https}) {
    SCOPED_TRACE(website);
    const std::string marker = "keep-" + website.substr(0, website.find(':'));
    AccessLog log(site_, kSite);
    {
      const HttpSessionOwner session = OpenHttpSession(settings_);
      for (const char* file : {"text.txt", "big.bin", "empty.txt", "text.txt"}) {
        const Fetched got = Fetch(*session, Url(website, file) + "?" + marker, kNoCeiling);
        EXPECT_TRUE(got.ok) << got.error;
      }
    }
    const std::vector<std::string> one = Connections(log, marker);
    ASSERT_EQ(one.size(), 4u);
    EXPECT_EQ(std::set<std::string>(one.begin(), one.end()).size(), 1u)
        << "the requests of one session came on more than one connection";

    // A second session asking while the first one's answer is still arriving needs a second
    // connection, so the log does tell connections apart. (Wine keeps idle connections for the
    // whole process, so two sessions one after the other may share one.)
    const HttpSessionOwner first = OpenHttpSession(settings_);
    const HttpSessionOwner second = OpenHttpSession(settings_);
    bool asked = false;
    HttpRequest request;
    request.url = Url(website, "large.bin") + "?apart-" + marker;
    request.maxBytes = kNoCeiling;
    std::string error;
    bool responded = false;
    EXPECT_EQ(
        HttpFetch(
            *first, request,
            [&](const char*, size_t) {
              if (!asked) {
                asked = true;
                EXPECT_TRUE(
                    Fetch(*second, Url(website, "text.txt") + "?apart-" + marker, kNoCeiling).ok);
              }
              return true;
            },
            error, responded),
        FetchStatus::Done)
        << error;
    const std::vector<std::string> two = Connections(log, "apart-" + marker);
    ASSERT_EQ(two.size(), 2u);
    EXPECT_NE(two[0], two[1]);
  }
}

// A part of a file, asked for with a Range header: exactly that part, or a clear refusal before
// any byte of something else reaches the sink.
TEST_F(HttpFetchTest, AsksForAPartOfABody) {
  struct RangeCase {
    std::string name;
    std::string url;
    uint64_t start;
    uint64_t length;
    bool ok;
    std::string error;
    bool wrongByte = false;  // the part arrives whole with its middle byte changed
  };
  const uint64_t size = big_.size();
  const std::string faults = site_.faults;
  const std::vector<RangeCase> cases = {
      {"http start", Url(site_.http, "big.bin"), 0, 1000, true, kEarlier},
      {"https middle", Url(site_.https, "big.bin"), 123457, 70001, true, kEarlier},
      {"the last byte", Url(site_.http, "big.bin"), size - 1, 1, true, kEarlier},
      {"the whole body as a part", Url(site_.http, "big.bin"), 0, size, true, kEarlier},
      {"large, over several reads", Url(site_.https, "large.bin"), 1 << 20, 2 << 20, true,
       kEarlier},
      {"the fault server's plain path", Url(faults, "big.bin"), 5000, 3000, true, kEarlier},
      {"302 followed with its range", Url(faults + "/redirect", "big.bin"), 777, 4096, true,
       kEarlier},
      {"past the end", Url(site_.http, "big.bin"), size, 10, false, "The website said 416", false},
      {"running past the end is another part", Url(site_.http, "big.bin"), size - 10, 100, false,
       kIgnored},
      {"ranges ignored", Url(faults + "/no-ranges", "big.bin"), 100, 1000, false, kIgnored},
      {"after that the session still works", Url(site_.http, "big.bin"), 100, 1000, true, kEarlier},
      {"another part than asked", Url(faults + "/range-shifted", "big.bin"), 100, 1000, false,
       kIgnored},
      {"encoded, so not a part", Url(faults + "/gzip", "big.bin"), 100, 1000, false, kIgnored},
      {"chunked whole body", Url(faults + "/chunks", "big.bin"), 100, 1000, false, kIgnored},
      {"closed part way", Url(faults + "/drop/500", "big.bin"), 100, 1000, false, kPartWay},
      {"a wrong byte passes: only the fingerprint can tell",
       Url(faults + "/range-wrong-byte", "big.bin"), 100, 1000, true, kEarlier, true},
      {"404", Url(site_.http, "missing"), 0, 10, false,
       "The website said 404 (there's no release on it yet)"},
  };
  const HttpSessionOwner session = OpenHttpSession(settings_);
  for (const RangeCase& c : cases) {
    SCOPED_TRACE(c.name + ": " + c.url);
    const std::string& whole = c.url.find("large.bin") != std::string::npos ? large_ : big_;
    std::string part = whole.substr(std::min<uint64_t>(c.start, whole.size()), c.length);
    if (c.wrongByte) part[part.size() / 2] = static_cast<char>(part[part.size() / 2] ^ 0x01);
    HttpRequest request;
    request.url = c.url;
    request.maxBytes = c.length;
    request.rangeStart = c.start;
    request.rangeLength = c.length;
    std::string got;
    std::string error = kEarlier;
    bool responded = false;
    const bool ok = Ended(HttpFetch(
                              *session, request,
                              [&got](const char* data, size_t piece) {
                                got.append(data, piece);
                                return true;
                              },
                              error, responded),
                          error);
    EXPECT_EQ(ok, c.ok);
    EXPECT_EQ(error, c.error);
    EXPECT_TRUE(responded);
    if (c.ok) {
      EXPECT_EQ(got.size(), part.size());
      EXPECT_TRUE(got == part) << "not the part asked for";
    } else if (c.error == kIgnored) {
      EXPECT_TRUE(got.empty()) << got.size() << " bytes of something else reached the sink";
    } else {
      EXPECT_TRUE(part.starts_with(got));
    }
  }
}

TEST(ContentRange, MatchesOnlyThePartAskedFor) {
  HttpRequest request;
  request.rangeStart = 100;
  request.rangeLength = 50;
  const std::vector<std::pair<std::string, bool>> cases = {
      {"bytes 100-149/1000", true},
      {" bytes 100-149/*\r\n", true},
      {"Bytes 100-149/150", true},
      {"bytes 100-149/149", false},
      {"bytes 100-148/1000", false},
      {"bytes 101-149/1000", false},
      {"bytes 100-150/1000", false},
      {"bytes 100-149", false},
      {"bytes */1000", false},
      {"items 100-149/1000", false},
      {"bytes 100-149/10x", false},
      {"", false},
      {"bytes 100-18446744073709551616/*", false},
  };
  for (const auto& [value, matches] : cases) {
    EXPECT_EQ(ContentRangeMatches(request, value), matches) << value;
  }
  EXPECT_EQ(RangeHeaderValue(request), "bytes=100-149");
  request.rangeLength = 0;
  EXPECT_FALSE(ContentRangeMatches(request, "bytes 100-99/1000")) << "a request for no part";
}

// The small answers of a launch (the started and join answers) are kept in memory only up to
// their ceiling.
TEST_F(HttpFetchTest, SmallAnswersHaveACeiling) {
  struct SmallCase {
    std::string name;
    std::string url;
    bool ok;
  };
  const std::vector<SmallCase> cases = {
      {"a join answer", site_.faults + "/" + kSite + "/client/join?play=abc", true},
      {"an endless join answer", site_.faults + "/endless/" + kSite + "/x", false},
      {"exactly the ceiling", Url(site_.http, "small.bin"), true},
      {"one byte over", Url(site_.http, "small-over.bin"), false},
      {"one byte over, no length", Url(site_.faults + "/chunks", "small-over.bin"), false},
  };
  for (const SmallCase& c : cases) {
    SCOPED_TRACE(c.name);
    std::string body = "stale";
    std::string error = kEarlier;
    bool responded = false;
    EXPECT_EQ(HttpGetSmall(c.url, body, error, responded, 0, {}, settings_), c.ok);
    EXPECT_TRUE(responded);
    EXPECT_EQ(error, c.ok ? kEarlier : kPartWay);
    EXPECT_LE(body.size(), kSmallAnswerMaxBytes);
    if (c.ok) {
      EXPECT_TRUE(body.starts_with("kelvadon://join?play=abc") ||
                  body == big_.substr(0, kSmallAnswerMaxBytes));
    }
  }
}

}  // namespace
