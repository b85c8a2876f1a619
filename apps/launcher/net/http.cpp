// The whole-body fetches, built on the streaming one so that each platform has one reading loop.

#include <new>
#include <stdexcept>

#include "net/http.h"
#include "net/http_test_settings.h"

namespace {

constexpr char kPartWay[] = "The download stopped part way (is the internet on?)";

// Linux overcommits memory, so a body that outgrows it would be ended by the kernel rather than
// by an allocation failure. No answer kept in memory comes near this size.
constexpr uint64_t kMaxBodyBytes = uint64_t{4} << 30;

HttpTestSettings gTestSettings;

// False when the body cannot grow by size bytes: memory ran out (an answer from anyone on the
// way to an http website can be endless) or a test limit was reached.
bool AppendToBody(std::string& body, const char* data, size_t size) {
  const uint64_t limit = gTestSettings.maxBodyBytes;
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
               bool& responded, uint64_t expectedSize, const DownloadProgress& progress) {
  body.clear();
  const HttpSessionOwner session = OpenHttpSession();
  HttpRequest request;
  request.url = url;
  request.maxBytes = maxBytes;
  request.tooLong = kPartWay;
  request.expectedSize = expectedSize;
  request.progress = progress;
  bool full = false;
  const bool ok = HttpFetch(
      *session, request,
      [&body, &full](const char* data, size_t size) {
        full = !AppendToBody(body, data, size);
        return !full;
      },
      error, responded);
  if (full) error = kPartWay;
  return ok;
}

}  // namespace

void SetHttpTestSettings(const HttpTestSettings& settings) { gTestSettings = settings; }

const HttpTestSettings& CurrentHttpTestSettings() { return gTestSettings; }

bool HttpGet(const std::string& url, std::string& body, std::string& error, bool& responded,
             uint64_t expectedSize, const DownloadProgress& progress) {
  return GetAtMost(kMaxBodyBytes, url, body, error, responded, expectedSize, progress);
}

bool HttpGetSmall(const std::string& url, std::string& body, std::string& error, bool& responded,
                  uint64_t expectedSize, const DownloadProgress& progress) {
  return GetAtMost(kSmallAnswerMaxBytes, url, body, error, responded, expectedSize, progress);
}
