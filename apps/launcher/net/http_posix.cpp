// The HTTP client on libcurl. It keeps the Windows client's settings and contract: the same
// user agent, time-outs and decoding, the same address splitting limits, redirects followed the
// way WinHTTP follows them by default, and every failure mapped onto the same sentences.

#include <curl/curl.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdlib>
#include <exception>
#include <memory>
#include <mutex>
#include <new>
#include <stdexcept>
#include <string>
#include <string_view>

#include "common/system.h"
#include "common/text.h"
#include "net/http.h"
#include "net/http_test_settings.h"

namespace {

constexpr char kUserAgent[] = "KelvadonLauncher/1.0";

// The limits of the Windows client's address buffers, in UTF-16 units including the null.
constexpr size_t kHostUnits = 255;
constexpr size_t kPathUnits = 2047;
constexpr size_t kExtraUnits = 2047;

// libcurl has one limit for name resolution and connection together and none for sending a
// request this small. The receive limit is kept here: no byte for that long once the request
// has gone out ends the exchange, as WinHTTP's receive time-out does.
constexpr long kResolveTimeoutMs = 15000;
constexpr long kConnectTimeoutMs = 15000;
constexpr long kReceiveTimeoutMs = 60000;

// WinHTTP's default number of redirects it follows.
constexpr int kMaxRedirects = 10;

// Linux overcommits memory, so a body that outgrows it is ended by the kernel rather than by an
// allocation failure. No client file comes near this size.
constexpr uint64_t kMaxBodyBytes = uint64_t{4} << 30;

constexpr char kPartWay[] = "The download stopped part way (is the internet on?)";

HttpTestSettings gTestSettings;

struct EasyDeleter {
  void operator()(CURL* handle) const { curl_easy_cleanup(handle); }
};
struct UrlDeleter {
  void operator()(CURLU* handle) const { curl_url_cleanup(handle); }
};
struct TextDeleter {
  void operator()(char* text) const { curl_free(text); }
};
using UniqueEasy = std::unique_ptr<CURL, EasyDeleter>;
using UniqueUrl = std::unique_ptr<CURLU, UrlDeleter>;
using UniqueCurlText = std::unique_ptr<char, TextDeleter>;

bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
  return text.size() >= prefix.size() &&
         std::equal(prefix.begin(), prefix.end(), text.begin(), [](char a, char b) {
           return std::tolower(static_cast<unsigned char>(a)) ==
                  std::tolower(static_cast<unsigned char>(b));
         });
}

// Length in UTF-16 units of valid UTF-8: one per character, two beyond U+FFFF.
size_t Utf16Units(std::string_view utf8) {
  size_t units = 0;
  for (const char c : utf8) {
    const auto byte = static_cast<unsigned char>(c);
    if ((byte & 0xC0) != 0x80) units += byte >= 0xF0 ? 2 : 1;
  }
  return units;
}

// One part of a parsed address; empty when the part is absent.
std::string UrlPart(CURLU* url, CURLUPart part) {
  char* text = nullptr;
  if (curl_url_get(url, part, &text, 0) != CURLUE_OK) return {};
  const UniqueCurlText owner(text);
  return text;
}

std::string Lowered(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

bool IsHttpScheme(const std::string& scheme) { return scheme == "http" || scheme == "https"; }

// The split that WinHttpCrackUrl does with flags 0: an http or https address with a host, and
// host, path and extra information (query and fragment) that fit the Windows buffers.
bool SplitAddress(const std::string& url, CURLU* parts, std::string& host) {
  if (!IsValidUtf8(url) || url.find('\0') != std::string::npos) return false;
  if (!StartsWithNoCase(url, "http://") && !StartsWithNoCase(url, "https://")) return false;
  if (curl_url_set(parts, CURLUPART_URL, url.c_str(), CURLU_PATH_AS_IS) != CURLUE_OK) return false;
  host = UrlPart(parts, CURLUPART_HOST);
  // Path and extra information as written, since nothing is decoded: the path runs from the end
  // of the host (and port) to the first '?' or '#', the extra information from there to the end.
  const size_t hostStart = url.find("://") + 3;
  const size_t pathStart = std::min(url.find_first_of("/?#", hostStart), url.size());
  const size_t extraStart = std::min(url.find_first_of("?#", pathStart), url.size());
  const std::string_view text(url);
  const size_t pathUnits = Utf16Units(text.substr(pathStart, extraStart - pathStart));
  const size_t extraUnits = Utf16Units(text.substr(extraStart));
  // The Windows client asks for neither, so neither is sent.
  curl_url_set(parts, CURLUPART_USER, nullptr, 0);
  curl_url_set(parts, CURLUPART_PASSWORD, nullptr, 0);
  return !host.empty() && Utf16Units(host) < kHostUnits && pathUnits < kPathUnits &&
         extraUnits < kExtraUnits;
}

// False when the body cannot grow by size bytes: memory ran out (an answer from anyone on the
// way to an http website can be endless) or the limit was reached.
bool AppendToBody(std::string& body, const char* data, size_t size) {
  const uint64_t limit = std::min(gTestSettings.maxBodyBytes, kMaxBodyBytes);
  if (size > limit || body.size() > limit - size) return false;
  try {
    body.append(data, size);
  } catch (const std::bad_alloc&) {
    return false;
  } catch (const std::length_error&) {
    return false;
  }
  return true;
}

// What the callbacks learn during one request.
struct Exchange {
  Exchange(CURL* easy, std::string& body, const DownloadProgress& progress, uint64_t expectedSize)
      : easy(easy), body(body), progress(progress), expectedSize(expectedSize) {}

  CURL* easy;
  std::string& body;
  const DownloadProgress& progress;
  uint64_t expectedSize;
  std::chrono::milliseconds receiveTimeout{kReceiveTimeoutMs};
  std::chrono::steady_clock::time_point lastData = std::chrono::steady_clock::now();
  long status = 0;           // of the response being read
  bool headersDone = false;  // the headers of a response other than 1xx have all arrived
  std::string location;
  std::exception_ptr thrown;  // from the progress callback, carried past libcurl's C frames
};

std::string_view TrimLine(std::string_view text) {
  while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back()))) {
    text.remove_suffix(1);
  }
  while (!text.empty() && std::isspace(static_cast<unsigned char>(text.front()))) {
    text.remove_prefix(1);
  }
  return text;
}

size_t OnHeader(char* data, size_t size, size_t count, void* user) {
  auto& exchange = *static_cast<Exchange*>(user);
  exchange.lastData = std::chrono::steady_clock::now();
  const size_t length = size * count;
  const std::string_view line(data, length);
  if (StartsWithNoCase(line, "HTTP/")) {
    // A new response (after a 100 Continue, for instance) starts a new header block.
    const size_t space = line.find(' ');
    exchange.status =
        space == std::string_view::npos ? 0 : std::strtol(data + space + 1, nullptr, 10);
    exchange.location.clear();
  } else if (StartsWithNoCase(line, "Location:")) {
    exchange.location = TrimLine(line.substr(9));
  } else if (TrimLine(line).empty() && !(exchange.status >= 100 && exchange.status < 200)) {
    exchange.headersDone = true;
    // Neither an error's body nor a redirect's is read.
    if (exchange.status != 200) return 0;
  }
  return length;
}

size_t OnBody(char* data, size_t size, size_t count, void* user) {
  auto& exchange = *static_cast<Exchange*>(user);
  exchange.lastData = std::chrono::steady_clock::now();
  const size_t length = size * count;
  if (!AppendToBody(exchange.body, data, length)) return 0;
  if (exchange.progress) {
    try {
      exchange.progress(exchange.body.size(), exchange.expectedSize);
    } catch (...) {
      exchange.thrown = std::current_exception();
      return 0;
    }
  }
  return length;
}

// Called about once a second while nothing arrives; non-zero ends the exchange.
int OnTick(void* user, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
  auto& exchange = *static_cast<Exchange*>(user);
  const auto now = std::chrono::steady_clock::now();
  curl_off_t sentAfter = 0;
  curl_easy_getinfo(exchange.easy, CURLINFO_PRETRANSFER_TIME_T, &sentAfter);
  if (sentAfter == 0) {
    exchange.lastData = now;  // still connecting, which the connect limit covers
    return 0;
  }
  return now - exchange.lastData > exchange.receiveTimeout ? 1 : 0;
}

bool IsRedirect(long status) {
  return status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
}

bool Configure(CURL* easy, CURLU* address, Exchange& exchange) {
  const uint32_t testTimeout = gTestSettings.timeoutMs;
  const long connectMs =
      testTimeout != 0 ? 2L * testTimeout : kResolveTimeoutMs + kConnectTimeoutMs;
  if (testTimeout != 0) exchange.receiveTimeout = std::chrono::milliseconds(testTimeout);
  bool ok = curl_easy_setopt(easy, CURLOPT_CURLU, address) == CURLE_OK &&
            curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "http,https") == CURLE_OK &&
            curl_easy_setopt(easy, CURLOPT_PATH_AS_IS, 1L) == CURLE_OK &&
            curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L) == CURLE_OK &&
            curl_easy_setopt(easy, CURLOPT_USERAGENT, kUserAgent) == CURLE_OK &&
            curl_easy_setopt(easy, CURLOPT_HTTP_VERSION, CURL_HTTP_VERSION_1_1) == CURLE_OK &&
            curl_easy_setopt(easy, CURLOPT_SUPPRESS_CONNECT_HEADERS, 1L) == CURLE_OK &&
            curl_easy_setopt(easy, CURLOPT_ACCEPT_ENCODING, "gzip, deflate") == CURLE_OK &&
            curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT_MS, connectMs) == CURLE_OK &&
            curl_easy_setopt(easy, CURLOPT_NOPROGRESS, 0L) == CURLE_OK &&
            curl_easy_setopt(easy, CURLOPT_XFERINFOFUNCTION, OnTick) == CURLE_OK &&
            curl_easy_setopt(easy, CURLOPT_XFERINFODATA, &exchange) == CURLE_OK &&
            curl_easy_setopt(easy, CURLOPT_HEADERFUNCTION, OnHeader) == CURLE_OK &&
            curl_easy_setopt(easy, CURLOPT_HEADERDATA, &exchange) == CURLE_OK &&
            curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, OnBody) == CURLE_OK &&
            curl_easy_setopt(easy, CURLOPT_WRITEDATA, &exchange) == CURLE_OK;
  if (ok && !gTestSettings.caFile.empty()) {
    ok = curl_easy_setopt(easy, CURLOPT_CAINFO, gTestSettings.caFile.c_str()) == CURLE_OK;
  }
  return ok;
}

}  // namespace

void SetHttpTestSettings(const HttpTestSettings& settings) { gTestSettings = settings; }

bool HttpGet(const std::string& url, std::string& body, std::string& error, bool& responded,
             uint64_t expectedSize, const DownloadProgress& progress) {
  body.clear();
  responded = false;
  static std::once_flag once;
  static CURLcode initialised = CURLE_FAILED_INIT;
  std::call_once(once, [] { initialised = curl_global_init(CURL_GLOBAL_DEFAULT); });

  const UniqueUrl address(curl_url());
  if (initialised != CURLE_OK || !address) {
    error = WithWindowsError("Couldn't start downloading");
    return false;
  }
  std::string host;
  if (!SplitAddress(url, address.get(), host)) {
    error = "That isn't a web address: " + url;
    return false;
  }
  const std::string unreachable = "Couldn't reach " + host + " (is the internet on?)";

  for (int redirects = 0;; ++redirects) {
    const UniqueEasy easy(curl_easy_init());
    Exchange exchange(easy.get(), body, progress, expectedSize);
    if (!easy || !Configure(easy.get(), address.get(), exchange)) {
      error = WithWindowsError("Couldn't start downloading");
      return false;
    }
    const CURLcode result = curl_easy_perform(easy.get());
    if (exchange.thrown) std::rethrow_exception(exchange.thrown);
    if (!exchange.headersDone) {
      error = unreachable;
      return false;
    }
    const long status = exchange.status;
    if (IsRedirect(status) && !exchange.location.empty()) {
      const std::string from = Lowered(UrlPart(address.get(), CURLUPART_SCHEME));
      // The location is resolved against the address it came from.
      const bool resolved = curl_url_set(address.get(), CURLUPART_URL, exchange.location.c_str(),
                                         CURLU_PATH_AS_IS) == CURLUE_OK;
      const std::string to =
          resolved ? Lowered(UrlPart(address.get(), CURLUPART_SCHEME)) : std::string();
      // Like WinHTTP, an https website is never left for an http one: such a redirect fails as
      // a redirect to anything but http or https does, or one too many.
      if (!resolved || !IsHttpScheme(to) || (from == "https" && to == "http") ||
          redirects == kMaxRedirects) {
        error = unreachable;
        return false;
      }
      continue;
    }
    responded = true;
    if (status != 200) {
      error = "The website said " + std::to_string(status);
      if (status == 404) error += " (there's no release on it yet)";
      return false;
    }
    if (result != CURLE_OK) {
      error = kPartWay;
      return false;
    }
    return true;
  }
}
