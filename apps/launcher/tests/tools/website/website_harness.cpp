#include "website_harness.h"

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <map>
#include <string>
#include <thread>

#include "common/text.h"
#include "net/http.h"

namespace {

std::string PercentEncoded(const std::string& text) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if ((byte >= 'A' && byte <= 'Z') || (byte >= 'a' && byte <= 'z') ||
        (byte >= '0' && byte <= '9') || c == '-' || c == '.' || c == '_' || c == '~') {
      out += c;
    } else {
      out += '%';
      out += kHex[byte >> 4];
      out += kHex[byte & 15];
    }
  }
  return out;
}

// The fault server's answer to a publishing request: its first line says how it went.
bool AskToPublish(const std::string& url, std::string& error) {
  std::string answer;
  bool responded = false;
  if (!HttpGet(url, answer, error, responded, 0, {})) return false;
  if (answer.starts_with("published\n")) return true;
  error = "kelvadon-publish refused: " + answer;
  return false;
}

}  // namespace

bool LoadTestWebsite(TestWebsite& website, std::string& error) {
  const char* override = std::getenv("KELVADON_WEBSITE_INFO");
  const std::string infoFile = override != nullptr ? override : KELVADON_WEBSITE_INFO;
  std::ifstream in(LocalPath(infoFile));
  std::map<std::string, std::string> values;
  for (std::string line; std::getline(in, line);) {
    const size_t equals = line.find('=');
    if (equals != std::string::npos) values[line.substr(0, equals)] = line.substr(equals + 1);
  }
  for (const char* name :
       {"http", "https", "untrusted", "faults", "refused", "root", "log", "ca"}) {
    if (values[name].empty()) {
      error = "The test website is not running (no " + std::string(name) + " in " + infoFile +
              "); run the test through ctest, whose website_setup test starts it.";
      return false;
    }
  }
  website.http = values["http"];
  website.https = values["https"];
  website.untrusted = values["untrusted"];
  website.faults = values["faults"];
  website.refused = values["refused"];
  website.root = LocalPath(values["root"]);
  website.accessLog = LocalPath(values["log"]);
  website.caFile = LocalPath(values["ca"]);
  website.cannotPublish = values["cannot_publish"];
  return true;
}

bool PublishTestSite(const TestWebsite& website, const std::string& site,
                     const std::filesystem::path& clientFolder, const std::string& version,
                     const std::filesystem::path& launcher, std::string& error) {
  std::vector<std::pair<std::string, std::string>> options = {
      {"client", PathToUtf8(std::filesystem::absolute(clientFolder))}, {"version", version}};
  if (!launcher.empty()) {
    options.emplace_back("launcher", PathToUtf8(std::filesystem::absolute(launcher)));
  }
  return RunPublishOnTestSite(website, site, "publish", options, error);
}

bool RunPublishOnTestSite(const TestWebsite& website, const std::string& site,
                          const std::string& command,
                          const std::vector<std::pair<std::string, std::string>>& publishOptions,
                          std::string& error) {
  std::string url = website.faults + "/_publish?command=" + PercentEncoded(command) +
                    "&site=" + PercentEncoded(site);
  for (const auto& [name, value] : publishOptions) {
    url += "&" + name + "=" + PercentEncoded(value);
  }
  return AskToPublish(url, error);
}

bool SignTestManifest(const TestWebsite& website, const std::string& site, const std::string& json,
                      std::string& error) {
  return AskToPublish(
      website.faults + "/_sign?site=" + PercentEncoded(site) + "&manifest=" + PercentEncoded(json),
      error);
}

bool SettleAccessLog(const TestWebsite& website) {
  // One worker answers every request in turn, so when it has answered this one, the lines of all
  // earlier answers are written; this one's own comes just after its last byte.
  static std::atomic<int> counter{0};
  const std::string marker = "/_log-settled-" + std::to_string(++counter);
  std::string answer;
  std::string error;
  bool responded = false;
  HttpGet(website.http + marker, answer, error, responded, 0, {});
  if (!responded) return false;
  for (int attempt = 0; attempt < 500; ++attempt) {
    std::ifstream log(website.accessLog);
    for (std::string line; std::getline(log, line);) {
      if (line.find(marker + " ") != std::string::npos) return true;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
}
