#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

// Called between reads with the bytes received so far and the size the caller expects.
using DownloadProgress = std::function<void(uint64_t received, uint64_t expected)>;

// One GET of a whole body into memory. True only for a complete 200 answer. body is emptied
// first; error is left alone on success and otherwise holds one sentence for the user;
// responded says whether any answer arrived (whatever its status). Never throws.
bool HttpGet(const std::string& url, std::string& body, std::string& error, bool& responded,
             uint64_t expectedSize, const DownloadProgress& progress);

// The most HttpGetSmall keeps: the started and join answers are a line or two.
constexpr uint64_t kSmallAnswerMaxBytes = uint64_t{64} << 10;

// HttpGet for an answer that is only ever small: a longer body fails as one that memory cannot
// hold does, and never reaches memory whole.
bool HttpGetSmall(const std::string& url, std::string& body, std::string& error, bool& responded,
                  uint64_t expectedSize, const DownloadProgress& progress);

// Receives each piece of a body as it arrives, in order. Answering false stops the transfer:
// the fetch then fails and leaves error to whatever the sink's owner put there.
using BodySink = std::function<bool(const char* data, size_t size)>;

// One GET whose body goes to a sink rather than into memory.
struct HttpRequest {
  std::string url;
  // A body longer than this is never passed on whole: the fetch fails with tooLong as its error
  // once the answer announces or delivers more, and the sink never receives more than this.
  uint64_t maxBytes = 0;
  std::string tooLong;
  uint64_t expectedSize = 0;  // passed through to progress
  DownloadProgress progress;  // may be empty
  // A part of the body: bytes [rangeStart, rangeStart + rangeLength), asked for with a Range
  // header and without compression (a range of an encoded body is not a range of the file). 0
  // asks for the whole body. A ranged fetch succeeds only on a 206 answer whose Content-Range is
  // exactly that part; any other success (a website that ignores ranges answers 200 with the
  // whole body) fails with rangeIgnored as its error, responded true, before any byte reaches the
  // sink. maxBytes still applies: set it to rangeLength.
  uint64_t rangeStart = 0;
  uint64_t rangeLength = 0;
  std::string rangeIgnored;
};

// The Range header's value for a ranged request ("bytes=FIRST-LAST"), and whether a
// Content-Range value ("bytes FIRST-LAST/SIZE" or "bytes FIRST-LAST/*") answers exactly that part.
std::string RangeHeaderValue(const HttpRequest& request);
bool ContentRangeMatches(const HttpRequest& request, std::string_view contentRange);

// The network state of one update: sessions and kept-alive connections reused across its
// requests. Opened by whoever owns the update and closed when it ends. One fetch at a time.
struct HttpSession;
struct HttpSessionCloser {
  void operator()(HttpSession* session) const;
};
using HttpSessionOwner = std::unique_ptr<HttpSession, HttpSessionCloser>;

// Never null; a session that could not be set up reports its failure at each fetch.
HttpSessionOwner OpenHttpSession();

// HttpGet's failure classes, sentences and responded rule, with the body handed to sink piece
// by piece and the request's ceiling applied. Throws nothing of its own; what the sink or
// progress throws passes through, and the session stays usable.
bool HttpFetch(HttpSession& session, const HttpRequest& request, const BodySink& sink,
               std::string& error, bool& responded);
