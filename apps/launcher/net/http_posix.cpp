// The HTTP client on libcurl. It keeps the Windows client's settings and contract: the same
// user agent, time-outs and decoding, the same address splitting limits, redirects followed the
// way WinHTTP follows them by default, and every failure mapped onto the same sentences.

#include <curl/curl.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <exception>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include "common/system.h"
#include "common/text.h"
#include "net/http.h"

namespace {

constexpr char kUserAgent[] = "KelvadonLauncher/1.0";

// The limits of the Windows client's address buffers, in UTF-16 units including the null.
constexpr size_t kHostUnits = 255;
constexpr size_t kPathUnits = 2047;
constexpr size_t kExtraUnits = 2047;

// libcurl has one limit for name resolution and connection together and none for sending a
// request this small.
constexpr long kResolveTimeoutMs = 15000;
constexpr long kConnectTimeoutMs = 15000;
constexpr long kReceiveTimeoutMs = 60000;
static_assert(kSlowAnswerWindowMs <= kReceiveTimeoutMs, "the low-speed check would lose the floor");

// WinHTTP's default number of redirects it follows.
constexpr int kMaxRedirects = 10;

// The most libcurl hands over in one piece, so a large body crosses in few calls.
constexpr long kReadBufferBytes = 256L << 10;

constexpr char kPartWay[] = "The download stopped part way (is the internet on?)";

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

// What the callbacks learn during one fetch.
struct Exchange {
  Exchange(const HttpRequest& request, const BodySink& sink) : request(request), sink(sink) {}

  const HttpRequest& request;
  const BodySink& sink;
  long status = 0;             // of the response being read
  bool redirecting = false;    // that response is a redirect that libcurl follows
  bool headersDone = false;    // the headers of the final response have all arrived
  bool location = false;       // that response names a Location
  bool rangeAnswered = false;  // that response's Content-Range is the part asked for
  bool rangeIgnored = false;   // a ranged request got another success than its part
  uint64_t received = 0;       // bytes handed to the sink
  bool overCeiling = false;    // more than request.maxBytes arrived
  bool sinkRefused = false;    // the sink answered false
  std::exception_ptr thrown;   // from the sink or progress, carried past libcurl's C frames
};

bool IsRedirect(long status) {
  return status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
}

size_t OnHeader(char* data, size_t size, size_t count, void* user) {
  auto& exchange = *static_cast<Exchange*>(user);
  const size_t length = size * count;
  const std::string_view line(data, length);
  if (StartsWithNoCase(line, "HTTP/")) {
    // Each response (a 100 Continue, a redirect, the answer) starts a header block of its own.
    const size_t space = line.find(' ');
    exchange.status =
        space == std::string_view::npos ? 0 : std::strtol(data + space + 1, nullptr, 10);
    exchange.location = false;
    exchange.redirecting = false;
    exchange.rangeAnswered = false;
  } else if (StartsWithNoCase(line, "Location:")) {
    exchange.location = true;
  } else if (StartsWithNoCase(line, "Content-Range:")) {
    exchange.rangeAnswered = ContentRangeMatches(
        exchange.request, line.substr(std::string_view("Content-Range:").size()));
  } else if (line.find_first_not_of(" \t\r\n") == std::string_view::npos) {
    const long status = exchange.status;
    if (status >= 100 && status < 200) return length;
    if (IsRedirect(status) && exchange.location) {
      exchange.redirecting = true;
      return length;
    }
    exchange.headersDone = true;
    if (exchange.request.rangeLength != 0 && status >= 200 && status < 300) {
      if (status == 206 && exchange.rangeAnswered) return length;
      exchange.rangeIgnored = true;
      return 0;
    }
    // An error's body is never read.
    if (status != 200) return 0;
  }
  return length;
}

size_t OnBody(char* data, size_t size, size_t count, void* user) {
  auto& exchange = *static_cast<Exchange*>(user);
  const size_t length = size * count;
  if (!exchange.headersDone) return length;  // a redirect's own body
  const HttpRequest& request = exchange.request;
  // Content-Length may be absent, and a decoded body is longer than the one announced.
  if (length > request.maxBytes - exchange.received) {
    exchange.overCeiling = true;
    return 0;
  }
  try {
    if (length > 0 && !exchange.sink(data, length)) {
      exchange.sinkRefused = true;
      return 0;
    }
    exchange.received += length;
    if (request.progress) request.progress(exchange.received, request.expectedSize);
  } catch (...) {
    exchange.thrown = std::current_exception();
    return 0;
  }
  return length;
}

long Seconds(uint32_t milliseconds) { return std::max<long>(1, (milliseconds + 999) / 1000); }

bool Configure(CURL* easy, CURLU* address, const std::string& scheme, Exchange& exchange,
               const HttpSettings& settings) {
  const uint32_t testTimeout = settings.timeoutMs;
  const long connectMs =
      testTimeout != 0 ? 2L * testTimeout : kResolveTimeoutMs + kConnectTimeoutMs;
  // libcurl has one low-speed check, and it ends a stall (an average of nothing) too. It holds
  // the floor over the window when the window is no longer than the receive time-out, so a stall
  // ends no later than WinHTTP's receive time-out ends it (in the product the two are equal); a
  // test that shortens the time-outs alone keeps one byte a second over the receive time-out.
  const uint32_t receiveMs = testTimeout != 0 ? testTimeout : uint32_t{kReceiveTimeoutMs};
  const bool floorHolds = settings.slowWindowMs <= receiveMs;
  const long lowSpeedBytes = floorHolds ? std::max<long>(1, settings.slowestBytesPerSecond) : 1;
  const long lowSpeedSeconds = Seconds(floorHolds ? settings.slowWindowMs : receiveMs);
  // Like WinHTTP, an https website is never left for an http one: such a redirect fails as a
  // redirect to anything but http or https does, or one too many.
  const char* redirectsTo = scheme == "https" ? "https" : "http,https";
  const uint64_t ceiling = exchange.request.maxBytes;
  const bool ranged = exchange.request.rangeLength != 0;
  const std::string range = ranged ? RangeHeaderValue(exchange.request).substr(6) : std::string();
  const auto announcedCeiling =
      static_cast<curl_off_t>(std::min<uint64_t>(ceiling, static_cast<uint64_t>(INT64_MAX)));
  bool ok = curl_easy_setopt(easy, CURLOPT_CURLU, address) == CURLE_OK &&
            curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "http,https") == CURLE_OK &&
            curl_easy_setopt(easy, CURLOPT_FOLLOWLOCATION, 1L) == CURLE_OK &&
            curl_easy_setopt(easy, CURLOPT_MAXREDIRS, kMaxRedirects) == CURLE_OK &&
            curl_easy_setopt(easy, CURLOPT_REDIR_PROTOCOLS_STR, redirectsTo) == CURLE_OK &&
            curl_easy_setopt(easy, CURLOPT_PATH_AS_IS, 1L) == CURLE_OK &&
            curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L) == CURLE_OK &&
            curl_easy_setopt(easy, CURLOPT_USERAGENT, kUserAgent) == CURLE_OK &&
            curl_easy_setopt(easy, CURLOPT_HTTP_VERSION, CURL_HTTP_VERSION_1_1) == CURLE_OK &&
            curl_easy_setopt(easy, CURLOPT_SUPPRESS_CONNECT_HEADERS, 1L) == CURLE_OK &&
            curl_easy_setopt(easy, CURLOPT_ACCEPT_ENCODING, ranged ? nullptr : "gzip, deflate") ==
                CURLE_OK &&
            curl_easy_setopt(easy, CURLOPT_RANGE, ranged ? range.c_str() : nullptr) == CURLE_OK &&
            curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT_MS, connectMs) == CURLE_OK &&
            curl_easy_setopt(easy, CURLOPT_LOW_SPEED_LIMIT, lowSpeedBytes) == CURLE_OK &&
            curl_easy_setopt(easy, CURLOPT_LOW_SPEED_TIME, lowSpeedSeconds) == CURLE_OK &&
            curl_easy_setopt(easy, CURLOPT_HEADERFUNCTION, OnHeader) == CURLE_OK &&
            curl_easy_setopt(easy, CURLOPT_HEADERDATA, &exchange) == CURLE_OK &&
            curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, OnBody) == CURLE_OK &&
            curl_easy_setopt(easy, CURLOPT_WRITEDATA, &exchange) == CURLE_OK;
  // 0 means no ceiling to libcurl; the write callback holds a ceiling of 0 alone.
  ok = ok && curl_easy_setopt(easy, CURLOPT_MAXFILESIZE_LARGE, announcedCeiling) == CURLE_OK;
  const std::string& caFile = settings.caFile;
  if (ok && !caFile.empty()) {
    ok = curl_easy_setopt(easy, CURLOPT_CAINFO, caFile.c_str()) == CURLE_OK;
  }
  return ok;
}

}  // namespace

// One easy handle for the whole session: libcurl keeps its connections alive between requests.
struct HttpSession {
  HttpSettings settings;
  UniqueEasy easy;
};

void HttpSessionCloser::operator()(HttpSession* session) const { delete session; }

const HttpSettings& SettingsOf(const HttpSession& session) { return session.settings; }

HttpSessionOwner OpenHttpSession(const HttpSettings& settings) {
  static std::once_flag once;
  static CURLcode initialised = CURLE_FAILED_INIT;
  std::call_once(once, [] { initialised = curl_global_init(CURL_GLOBAL_DEFAULT); });
  HttpSessionOwner session(new HttpSession{settings, nullptr});
  if (initialised == CURLE_OK) session->easy.reset(curl_easy_init());
  // Set once: libcurl cannot resize its buffer while it still holds a connection. Without it,
  // the pieces are smaller; nothing else changes.
  if (session->easy) curl_easy_setopt(session->easy.get(), CURLOPT_BUFFERSIZE, kReadBufferBytes);
  return session;
}

FetchStatus HttpFetch(HttpSession& session, const HttpRequest& request, const BodySink& sink,
                      std::string& error, bool& responded) {
  responded = false;
  const UniqueUrl address(curl_url());
  if (!session.easy || !address) {
    error = WithWindowsError("Couldn't start downloading");
    return FetchStatus::Failed;
  }
  const std::string& url = request.url;
  std::string host;
  if (!SplitAddress(url, address.get(), host)) {
    error = "That isn't a web address: " + url;
    return FetchStatus::Failed;
  }
  const std::string unreachable = "Couldn't reach " + host + " (is the internet on?)";

  // Every option that differs between requests is set again for each, so the handle keeps its
  // connections and caches and nothing of the previous request.
  CURL* easy = session.easy.get();
  Exchange exchange(request, sink);
  if (!Configure(easy, address.get(), Lowered(UrlPart(address.get(), CURLUPART_SCHEME)), exchange,
                 session.settings)) {
    error = WithWindowsError("Couldn't start downloading");
    return FetchStatus::Failed;
  }
  const CURLcode result = curl_easy_perform(easy);
  // Nothing of this request may outlive it inside the handle.
  curl_easy_setopt(easy, CURLOPT_CURLU, nullptr);
  if (exchange.thrown) std::rethrow_exception(exchange.thrown);

  const long status = exchange.status;
  // A success that is not the part asked for, whether its headers ended or its announced length
  // was already over the part's.
  const bool ranged = request.rangeLength != 0 && !exchange.redirecting;
  if (ranged && status >= 200 && status < 300 &&
      (exchange.rangeIgnored || (!exchange.headersDone && result == CURLE_FILESIZE_EXCEEDED))) {
    responded = true;
    return FetchStatus::RangeIgnored;
  }
  // An announced length over the ceiling ends the exchange while the headers are read, an error
  // page's as well as a body's: the status has arrived all the same.
  const bool announcedOver = result == CURLE_FILESIZE_EXCEEDED && status >= 200 &&
                             !IsRedirect(status) && !exchange.redirecting;
  const bool announcedTooLong = announcedOver && status == 200;
  if (!exchange.headersDone && !announcedOver) {
    error = unreachable;
    return FetchStatus::Failed;
  }
  responded = true;
  if (status != (ranged ? 206 : 200)) {
    error = "The website said " + std::to_string(status);
    if (status == 404) error += " (there's no release on it yet)";
    return FetchStatus::Failed;
  }
  if (exchange.sinkRefused) return FetchStatus::Failed;
  if (announcedTooLong || exchange.overCeiling) {
    return FetchStatus::TooLong;
  }
  if (result != CURLE_OK) {
    error = kPartWay;
    return FetchStatus::Failed;
  }
  return FetchStatus::Done;
}
