#include "website_harness.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <random>
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

// One access-log line, or false when it is not one.
bool ParseLogLine(const std::string& line, LoggedRequest& request) {
  const size_t open = line.find('"');
  const size_t close = open == std::string::npos ? open : line.find('"', open + 1);
  if (close == std::string::npos) return false;
  // "METHOD PATH PROTOCOL"; nginx writes a quote inside a field as \x22.
  const std::string asked = line.substr(open + 1, close - open - 1);
  const size_t space = asked.find(' ');
  if (space == std::string::npos) return false;
  request.method = asked.substr(0, space);
  request.path = asked.substr(space + 1, asked.rfind(' ') - space - 1);
  unsigned long long bytes = 0;
  if (std::sscanf(line.c_str() + close + 1, " %d %llu", &request.status, &bytes) != 2) {
    return false;
  }
  request.bytes = bytes;
  // Then the referrer and the user agent, each in quotes.
  size_t at = close;
  for (int quote = 0; quote < 3 && at != std::string::npos; ++quote) at = line.find('"', at + 1);
  const size_t agentEnd = at == std::string::npos ? at : line.find('"', at + 1);
  if (agentEnd != std::string::npos) request.userAgent = line.substr(at + 1, agentEnd - at - 1);
  const size_t connection = line.rfind(" connection=");
  if (connection != std::string::npos) request.connection = line.substr(connection + 12);
  return true;
}

}  // namespace

AccessLog::AccessLog(const TestWebsite& website, const std::string& folder)
    : file_(website.accessLog),
      website_(&website),
      prefix_(folder.empty() ? "" : "/" + folder + "/") {
  std::error_code ec;
  const uintmax_t size = std::filesystem::file_size(file_, ec);
  offset_ = ec ? 0 : size;
}

bool AccessLog::Next(std::vector<LoggedRequest>& requests) {
  requests.clear();
  const bool settled = website_ != nullptr && SettleAccessLog(*website_);
  std::ifstream in(file_, std::ios::binary);
  in.seekg(static_cast<std::streamoff>(offset_));
  for (std::string line; std::getline(in, line);) {
    // A line still being written is read on the next call.
    if (in.eof()) break;
    offset_ += line.size() + 1;
    LoggedRequest request;
    if (!ParseLogLine(line, request)) continue;
    if (!prefix_.empty()) {
      if (!request.path.starts_with(prefix_)) continue;
      request.path.erase(0, prefix_.size() - 1);
    }
    requests.push_back(request);
  }
  return settled;
}

std::string RandomBytes(size_t size, uint32_t seed) {
  std::mt19937 random(seed);
  std::string bytes(size, '\0');
  for (char& c : bytes) c = static_cast<char>(random() & 0xff);
  return bytes;
}

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
