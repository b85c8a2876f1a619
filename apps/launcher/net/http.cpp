// The whole-body fetches, built on the streaming one so that each platform has one reading loop.

#include <algorithm>
#include <cstdint>
#include <new>
#include <stdexcept>

#include "net/http.h"

namespace {

constexpr char kPartWay[] = "The download stopped part way (is the internet on?)";

// Linux overcommits memory, so a body that outgrows it would be ended by the kernel rather than
// by an allocation failure. No answer kept in memory comes near this size.
constexpr uint64_t kMaxBodyBytes = uint64_t{4} << 30;

// False when the body cannot grow by size bytes: memory ran out (an answer from anyone on the
// way to an http website can be endless) or a test limit was reached.
bool AppendToBody(std::string& body, const char* data, size_t size, uint64_t limit) {
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

bool GetAtMost(uint64_t maxBytes, const std::string& url, std::string& body, std::string& error,
               bool& responded, uint64_t expectedSize, const DownloadProgress& progress,
               const HttpSettings& settings) {
  const HttpSessionOwner session = OpenHttpSession(settings);
  HttpRequest request;
  request.url = url;
  // A test's smaller limit on memory ends the answer as running out of memory would.
  request.maxBytes = std::min(maxBytes, settings.maxBodyBytes);
  request.expectedSize = expectedSize;
  request.progress = progress;
  const FetchStatus status = FetchBody(HttpFetch, *session, request, body, error, responded);
  // A body that outgrows memory or its ceiling was cut off, as far as the user can tell.
  if (status == FetchStatus::TooLong) error = kPartWay;
  return status == FetchStatus::Done;
}

}  // namespace

FetchStatus FetchBody(const HttpFetcher& fetch, HttpSession& session, const HttpRequest& request,
                      std::string& body, std::string& error, bool& responded) {
  body.clear();
  bool full = false;
  FetchStatus status = fetch(
      session, request,
      [&](const char* data, size_t size) {
        full = !AppendToBody(body, data, size, request.maxBytes);
        return !full;
      },
      error, responded);
  if (full) status = FetchStatus::TooLong;
  if (status != FetchStatus::Done) body.clear();
  return status;
}

bool HttpGet(const std::string& url, std::string& body, std::string& error, bool& responded,
             uint64_t expectedSize, const DownloadProgress& progress,
             const HttpSettings& settings) {
  return GetAtMost(kMaxBodyBytes, url, body, error, responded, expectedSize, progress, settings);
}

bool HttpGetSmall(const std::string& url, std::string& body, std::string& error, bool& responded,
                  uint64_t expectedSize, const DownloadProgress& progress,
                  const HttpSettings& settings) {
  return GetAtMost(kSmallAnswerMaxBytes, url, body, error, responded, expectedSize, progress,
                   settings);
}

namespace {

// The last byte a ranged request asks for; a part past the largest offset is cut there.
uint64_t RangeLast(const HttpRequest& request) {
  const uint64_t room = UINT64_MAX - request.rangeStart;
  return request.rangeStart + std::min(request.rangeLength - 1, room);
}

// Reads decimal digits from text at position; false when there are none or they overflow.
bool ReadNumber(std::string_view text, size_t& position, uint64_t& number) {
  const size_t start = position;
  number = 0;
  while (position < text.size() && text[position] >= '0' && text[position] <= '9') {
    const auto digit = static_cast<uint64_t>(text[position] - '0');
    if (number > (UINT64_MAX - digit) / 10) return false;
    number = number * 10 + digit;
    ++position;
  }
  return position > start;
}

}  // namespace

std::string RangeHeaderValue(const HttpRequest& request) {
  return "bytes=" + std::to_string(request.rangeStart) + "-" + std::to_string(RangeLast(request));
}

bool ContentRangeMatches(const HttpRequest& request, std::string_view contentRange) {
  std::string_view text = contentRange;
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\r' ||
                           text.back() == '\n')) {
    text.remove_suffix(1);
  }
  constexpr std::string_view kUnit = "bytes ";
  if (text.size() < kUnit.size()) return false;
  for (size_t i = 0; i < kUnit.size(); ++i) {
    const char c = text[i];
    if ((c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c) != kUnit[i]) return false;
  }
  size_t position = kUnit.size();
  uint64_t first = 0;
  uint64_t last = 0;
  if (!ReadNumber(text, position, first) || position >= text.size() || text[position] != '-') {
    return false;
  }
  ++position;
  if (!ReadNumber(text, position, last) || position >= text.size() || text[position] != '/') {
    return false;
  }
  ++position;
  const std::string_view size = text.substr(position);
  if (size != "*") {
    uint64_t whole = 0;
    if (!ReadNumber(text, position, whole) || position != text.size() || last >= whole) {
      return false;
    }
  }
  return request.rangeLength != 0 && first == request.rangeStart && last == RangeLast(request);
}
