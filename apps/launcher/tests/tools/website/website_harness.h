#pragma once

// The test website of this test run, started by the website_setup test (website_harness.py) and
// read here by the tests that need it (kelvadon_test(... WEBSITE)).

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

struct TestWebsite {
  std::string http;       // nginx: "http://localhost:PORT"; a scenario is http + "/" + its folder
  std::string https;      // the same over TLS, with a certificate from the test authority
  std::string untrusted;  // the same over TLS, with a certificate nobody trusts
  std::string faults;     // the fault server (website_harness.py lists its faults)
  std::string refused;    // a port nobody listens on
  std::filesystem::path root;       // nginx's folder: one sub-folder per scenario
  std::filesystem::path accessLog;  // a line per request nginx answered, ending "connection=N"
  std::filesystem::path caFile;     // the test authority's certificate (PEM)
  std::string cannotPublish;        // why PublishTestSite cannot work here, or empty
};

// Reads the running website's addresses. False, with a sentence for the test log, when the
// website is not running (run the test through ctest, which starts it).
bool LoadTestWebsite(TestWebsite& website, std::string& error);

// Publishes clientFolder as version into the scenario folder site (made when missing) with
// kelvadon-publish and this build's test release key, so the launcher built here accepts it.
// launcher may be empty. Works from both builds: under Wine the fault server does the work.
bool PublishTestSite(const TestWebsite& website, const std::string& site,
                     const std::filesystem::path& clientFolder, const std::string& version,
                     const std::filesystem::path& launcher, std::string& error);

// kelvadon-publish's command ("publish" or "refresh") on the scenario folder site, with
// publishOptions (names without the dashes: client, version, launcher, expires-in, sequence);
// the key and the website folder are added. Works from both builds, like PublishTestSite.
bool RunPublishOnTestSite(const TestWebsite& website, const std::string& site,
                          const std::string& command,
                          const std::vector<std::pair<std::string, std::string>>& publishOptions,
                          std::string& error);

// Signs json with this build's test key and puts it on the scenario folder site as the manifest
// with its signature: a manifest the tool would never write. Works from both builds.
bool SignTestManifest(const TestWebsite& website, const std::string& site, const std::string& json,
                      std::string& error);

// Waits until nginx's access log holds a line for every request answered so far. nginx writes a
// request's line just after sending its last byte, so a client can read the log before that line
// is there: a request of its own is asked after them, and its line waited for (a few seconds at
// most). False when that line never came.
bool SettleAccessLog(const TestWebsite& website);

// One line of nginx's access log (the format is in website_harness.py).
struct LoggedRequest {
  std::string method;
  std::string path;  // as asked, query included; under the reader's folder, the folder left out
  int status = 0;
  uint64_t bytes = 0;  // of the body sent
  std::string userAgent;
  std::string connection;  // nginx's number for the connection the request came on
};

// Reads the requests nginx answers under one folder of the website (a scenario folder, or empty
// for all), from where the log ends when it is made; each line is parsed once.
class AccessLog {
 public:
  AccessLog() = default;
  AccessLog(const TestWebsite& website, const std::string& folder);

  // The requests answered since the last call (or since it was made), once the log has settled.
  // False when it never settled; requests then holds what the log had.
  bool Next(std::vector<LoggedRequest>& requests);

 private:
  std::filesystem::path file_;
  const TestWebsite* website_ = nullptr;
  std::string prefix_;  // "/folder/", or empty
  uint64_t offset_ = 0;
};

// size bytes from a generator seeded with seed: the same bytes for the same seed in every build,
// and random enough that no encoding on the way shrinks them.
std::string RandomBytes(size_t size, uint32_t seed);

// True in the Windows build when it runs under Wine, whose WinHTTP departs from Windows' in a
// few places that the tests list.
bool RunningUnderWine();

// A path of the test website (a Linux path) as this build's programs open it.
std::filesystem::path LocalPath(const std::string& hostPath);
