#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

// Called between reads with the bytes received so far and the size the caller expects.
using DownloadProgress = std::function<void(uint64_t received, uint64_t expected)>;

// An answer whose body arrives slower than this on average over the window is given up as one
// cut off part way, so that a website trickling bytes cannot hold an update for ever. A 1 Mbit/s
// line (about 122 KiB/s) shared by an update's eight downloads still gives each some 15 KiB/s,
// seven times the floor; each must get nothing for 52 seconds of a window to fall below it, far
// longer than congested Wi-Fi pauses. The window is the receive time-out, so a stall ends when it
// did before in both back-ends (libcurl's one low-speed check is what ends a stall there).
constexpr uint32_t kSlowestAnswerBytesPerSecond = 2 << 10;
constexpr uint32_t kSlowAnswerWindowMs = 60000;

// What a session works with. The defaults are the product's; a test shortens the time-outs and
// the slow answer's window, and trusts its own certificate authority.
struct HttpSettings {
  // Replaces all four time-outs (resolve, connect, send, receive) when not 0.
  uint32_t timeoutMs = 0;
  // Linux only: a PEM file of the one certificate authority to trust. Windows trusts a test
  // authority through the current user's Root store instead.
  std::string caFile;
  // A body HttpGet keeps in memory that would grow beyond this ends as if memory had run out.
  uint64_t maxBodyBytes = UINT64_MAX;
  // The slowest average an answer may keep over each window of its body.
  uint32_t slowestBytesPerSecond = kSlowestAnswerBytesPerSecond;
  uint32_t slowWindowMs = kSlowAnswerWindowMs;
};

// One GET of a whole body into memory. True only for a complete 200 answer. body is emptied
// first; error is left alone on success and otherwise holds one sentence for the user;
// responded says whether any answer arrived (whatever its status). Never throws.
bool HttpGet(const std::string& url, std::string& body, std::string& error, bool& responded,
             uint64_t expectedSize, const DownloadProgress& progress,
             const HttpSettings& settings = {});

// The most HttpGetSmall keeps: the started and join answers are a line or two.
constexpr uint64_t kSmallAnswerMaxBytes = uint64_t{64} << 10;

// HttpGet for an answer that is only ever small: a longer body fails as one that memory cannot
// hold does, and never reaches memory whole.
bool HttpGetSmall(const std::string& url, std::string& body, std::string& error, bool& responded,
                  uint64_t expectedSize, const DownloadProgress& progress,
                  const HttpSettings& settings = {});

// Receives each piece of a body as it arrives, in order. Answering false stops the transfer:
// the fetch then fails and leaves error to whatever the sink's owner put there.
using BodySink = std::function<bool(const char* data, size_t size)>;

// One GET whose body goes to a sink rather than into memory.
struct HttpRequest {
  std::string url;
  // A body longer than this is never passed on whole: the fetch ends TooLong once the answer
  // announces or delivers more, and the sink never receives more than this.
  uint64_t maxBytes = 0;
  uint64_t expectedSize = 0;  // passed through to progress
  DownloadProgress progress;  // may be empty
  // A part of the body: bytes [rangeStart, rangeStart + rangeLength), asked for with a Range
  // header and without compression (a range of an encoded body is not a range of the file). 0
  // asks for the whole body. A ranged fetch succeeds only on a 206 answer whose Content-Range is
  // exactly that part; any other success (a website that ignores ranges answers 200 with the
  // whole body) ends RangeIgnored, responded true, before any byte reaches the sink. maxBytes
  // still applies: set it to rangeLength.
  uint64_t rangeStart = 0;
  uint64_t rangeLength = 0;
};

// How a fetch ended. Only Failed leaves a sentence in error, and not when the sink refused: its
// owner knows why.
enum class FetchStatus {
  Done,          // the whole answer (or the part asked for) reached the sink
  Failed,        // the network or the website failed, or the sink refused
  TooLong,       // the answer announced or delivered more than maxBytes
  RangeIgnored,  // a ranged request was answered with something other than exactly its part
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
HttpSessionOwner OpenHttpSession(const HttpSettings& settings = {});

// The settings the session was opened with, for another session of the same run.
const HttpSettings& SettingsOf(const HttpSession& session);

// HttpGet's failure sentences and responded rule, with the body handed to sink piece by piece
// and the request's ceiling applied. Throws nothing of its own; what the sink or progress throws
// passes through, and the session stays usable.
FetchStatus HttpFetch(HttpSession& session, const HttpRequest& request, const BodySink& sink,
                      std::string& error, bool& responded);

// HttpFetch's signature: the way to the website, so tests can serve one from a folder.
using HttpFetcher =
    std::function<FetchStatus(HttpSession& session, const HttpRequest& request,
                              const BodySink& sink, std::string& error, bool& responded)>;

// A small answer whole in memory: TooLong once it would grow past request.maxBytes or past what
// memory holds. body is empty unless Done.
FetchStatus FetchBody(const HttpFetcher& fetch, HttpSession& session, const HttpRequest& request,
                      std::string& body, std::string& error, bool& responded);

// How a run spreads its downloads over connections.
struct DownloadSettings {
  // Eight connections hide a far website's round trips for small files about as well as more
  // would, and stay polite to the website and light on the player's machine.
  size_t workers = 8;
  // A file this large is worth several connections: below it, one capped connection delivers it
  // in a few seconds, and its pieces' round trips would eat what more connections win.
  uint64_t rangedFileBytes = uint64_t{64} << 20;
  // Four pieces at once multiply a capped connection's speed. A piece is long enough that its
  // request's round trip costs little (4 MiB take 200 ms at 20 MB/s, against a 40 ms round trip),
  // short enough that the three running ahead of a file's hashing fit in heldBytes.
  uint64_t pieceBytes = uint64_t{4} << 20;
  size_t piecesAtOnce = 4;
  // The most bytes held in memory, over all files, for pieces that arrived ahead of their file's
  // hashing; beyond it they wait for the hashing to catch up.
  uint64_t heldBytes = uint64_t{12} << 20;
};
