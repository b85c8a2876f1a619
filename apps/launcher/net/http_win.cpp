// winhttp.h needs the types that windows.h declares, so the order is fixed.
// clang-format off
#include <windows.h>

#include <winhttp.h>
// clang-format on

#include <algorithm>
#include <memory>
#include <mutex>
#include <new>
#include <stdexcept>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

#include "common/system.h"
#include "common/system_library_win.h"
#include "common/text.h"
#include "common/unique_handle.h"
#include "net/http.h"

namespace {

constexpr wchar_t kUserAgent[] = L"KelvadonLauncher/1.0";

// Buffer sizes declared to WinHttpCrackUrl, in UTF-16 units; a part that does not fit fails.
constexpr DWORD kHostUnits = 255;
constexpr DWORD kPathUnits = 2047;
constexpr DWORD kExtraUnits = 2047;

constexpr DWORD kResolveTimeoutMs = 15000;
constexpr DWORD kConnectTimeoutMs = 15000;
constexpr DWORD kSendTimeoutMs = 30000;
constexpr DWORD kReceiveTimeoutMs = 60000;

constexpr char kPartWay[] = "The download stopped part way (is the internet on?)";

// The most one piece of a body holds.
constexpr DWORD kReadBufferBytes = DWORD{256} << 10;
// A read that finds this much waiting is taken for one that more is waiting behind.
constexpr DWORD kNetworkBufferBytes = DWORD{8} << 10;

struct WinHttpFunctions {
  decltype(&WinHttpCrackUrl) crackUrl = nullptr;
  decltype(&WinHttpOpen) open = nullptr;
  decltype(&WinHttpSetOption) setOption = nullptr;
  decltype(&WinHttpSetTimeouts) setTimeouts = nullptr;
  decltype(&WinHttpConnect) connect = nullptr;
  decltype(&WinHttpOpenRequest) openRequest = nullptr;
  decltype(&WinHttpSendRequest) sendRequest = nullptr;
  decltype(&WinHttpReceiveResponse) receiveResponse = nullptr;
  decltype(&WinHttpQueryHeaders) queryHeaders = nullptr;
  decltype(&WinHttpQueryOption) queryOption = nullptr;
  decltype(&WinHttpQueryDataAvailable) queryDataAvailable = nullptr;
  decltype(&WinHttpReadData) readData = nullptr;
  decltype(&WinHttpCloseHandle) closeHandle = nullptr;
};

WinHttpFunctions gWinHttp;
DWORD gLoadError = ERROR_SUCCESS;

// winhttp.dll is not one of Windows' KnownDLLs, so a linked one would be looked for first beside
// the setup program, in the Downloads folder, where anyone's download could have put one. It is
// loaded from System32 only, once, and stays for the life of the process.
const WinHttpFunctions* WinHttp() {
  static std::once_flag once;
  static bool loaded = false;
  std::call_once(once, [] {
    const HMODULE module = LoadSystemLibrary(L"winhttp.dll");
    if (module == nullptr) {
      gLoadError = GetLastError();
      return;
    }
    WinHttpFunctions& f = gWinHttp;
    loaded = LoadFunction(module, "WinHttpCrackUrl", f.crackUrl) &&
             LoadFunction(module, "WinHttpOpen", f.open) &&
             LoadFunction(module, "WinHttpSetOption", f.setOption) &&
             LoadFunction(module, "WinHttpSetTimeouts", f.setTimeouts) &&
             LoadFunction(module, "WinHttpConnect", f.connect) &&
             LoadFunction(module, "WinHttpOpenRequest", f.openRequest) &&
             LoadFunction(module, "WinHttpSendRequest", f.sendRequest) &&
             LoadFunction(module, "WinHttpReceiveResponse", f.receiveResponse) &&
             LoadFunction(module, "WinHttpQueryHeaders", f.queryHeaders) &&
             LoadFunction(module, "WinHttpQueryOption", f.queryOption) &&
             LoadFunction(module, "WinHttpQueryDataAvailable", f.queryDataAvailable) &&
             LoadFunction(module, "WinHttpReadData", f.readData) &&
             LoadFunction(module, "WinHttpCloseHandle", f.closeHandle);
    if (!loaded) gLoadError = GetLastError();
  });
  return loaded ? &gWinHttp : nullptr;
}

// Root, connection and request handles alike. Declared in that order in one scope, they close
// request first, then connection, then root, on every path. Owners exist only after WinHttp()
// answered the table.
struct InternetTraits {
  using Type = HINTERNET;
  static Type Invalid() { return nullptr; }
  static void Close(Type handle) { gWinHttp.closeHandle(handle); }
};
using UniqueInternet = UniqueHandle<InternetTraits>;

// An address split the way WinHttpCrackUrl splits it.
struct Address {
  std::wstring host;
  INTERNET_PORT port = 0;
  bool secure = false;
  std::wstring objectName;  // path followed directly by the extra information
};

bool SplitAddress(const WinHttpFunctions& f, const std::wstring& url, Address& address) {
  wchar_t host[kHostUnits] = {};
  wchar_t path[kPathUnits] = {};
  wchar_t extra[kExtraUnits] = {};
  URL_COMPONENTS parts = {};
  parts.dwStructSize = sizeof(parts);
  parts.lpszHostName = host;
  parts.dwHostNameLength = kHostUnits;
  parts.lpszUrlPath = path;
  parts.dwUrlPathLength = kPathUnits;
  parts.lpszExtraInfo = extra;
  parts.dwExtraInfoLength = kExtraUnits;
  // A length of 0 would mean "up to the first null", so an empty address is passed as L"".
  if (url.size() > MAXDWORD ||
      !f.crackUrl(url.c_str(), static_cast<DWORD>(url.size()), 0, &parts)) {
    return false;
  }
  address.host.assign(host, parts.dwHostNameLength);
  address.port = parts.nPort;
  address.secure = parts.nScheme == INTERNET_SCHEME_HTTPS;
  address.objectName =
      std::wstring(path, parts.dwUrlPathLength) + std::wstring(extra, parts.dwExtraInfoLength);
  return true;
}

// The length the answer announces, when it announces one.
bool AnnouncedLength(const WinHttpFunctions& f, HINTERNET request, uint64_t& length) {
  wchar_t text[32] = {};
  DWORD size = sizeof(text);
  if (!f.queryHeaders(request, WINHTTP_QUERY_CONTENT_LENGTH, WINHTTP_HEADER_NAME_BY_INDEX, text,
                      &size, WINHTTP_NO_HEADER_INDEX)) {
    return false;
  }
  const size_t units = size / sizeof(wchar_t);
  if (units == 0) return false;
  length = 0;
  for (size_t i = 0; i < units; ++i) {
    if (text[i] < L'0' || text[i] > L'9' || length > (UINT64_MAX - 9) / 10) return false;
    length = length * 10 + static_cast<uint64_t>(text[i] - L'0');
  }
  return true;
}

// Whether the answer came from another server than the address names, after a redirect. Wine
// then points the connection handle itself at the new server, so it must not serve the next
// request for the old one. An address that cannot be read back counts as another server.
bool AnsweredElsewhere(const WinHttpFunctions& f, HINTERNET request, const Address& asked) {
  DWORD size = 0;
  f.queryOption(request, WINHTTP_OPTION_URL, nullptr, &size);
  if (size == 0 || size % sizeof(wchar_t) != 0) return true;
  std::wstring url(size / sizeof(wchar_t), L'\0');
  if (!f.queryOption(request, WINHTTP_OPTION_URL, url.data(), &size)) return true;
  url.resize(std::min<size_t>(url.size(), size / sizeof(wchar_t)));
  while (!url.empty() && url.back() == L'\0') url.pop_back();
  Address answered;
  return !SplitAddress(f, url, answered) || answered.port != asked.port ||
         answered.secure != asked.secure ||
         CompareStringOrdinal(answered.host.c_str(), -1, asked.host.c_str(), -1, TRUE) !=
             CSTR_EQUAL;
}

// The answer's Content-Range header; empty when it has none.
std::string ContentRange(const WinHttpFunctions& f, HINTERNET request) {
  wchar_t text[128] = {};
  DWORD size = sizeof(text) - sizeof(wchar_t);
  if (!f.queryHeaders(request, WINHTTP_QUERY_CONTENT_RANGE, WINHTTP_HEADER_NAME_BY_INDEX, text,
                      &size, WINHTTP_NO_HEADER_INDEX)) {
    return {};
  }
  std::string ascii;
  for (size_t i = 0; i < size / sizeof(wchar_t); ++i) {
    if (text[i] > 0x7F) return {};
    ascii.push_back(static_cast<char>(text[i]));
  }
  return ascii;
}

}  // namespace

// One WinHTTP session, whose connections WinHTTP keeps alive between requests, and one connection
// handle per website. Declared after the root, the connections close first.
struct HttpSession {
  HttpSettings settings;
  UniqueInternet root;
  struct Connection {
    std::wstring host;
    INTERNET_PORT port = 0;
    UniqueInternet handle;
  };
  std::vector<Connection> connections;
};

void HttpSessionCloser::operator()(HttpSession* session) const { delete session; }

// The root handle is opened by the first fetch, so that the address is checked before anything
// is opened, as a single request does it.
HttpSessionOwner OpenHttpSession(const HttpSettings& settings) {
  HttpSessionOwner session(new HttpSession);
  session->settings = settings;
  return session;
}

const HttpSettings& SettingsOf(const HttpSession& session) { return session.settings; }

namespace {

// The session's root handle, opened on first use. Null, with the sentence, when it cannot be.
HINTERNET SessionRoot(const WinHttpFunctions& f, HttpSession& session, std::string& error) {
  if (session.root) return session.root.Get();
  session.root.Reset(f.open(kUserAgent, WINHTTP_ACCESS_TYPE_AUTOMATIC_PROXY, WINHTTP_NO_PROXY_NAME,
                            WINHTTP_NO_PROXY_BYPASS, 0));
  if (!session.root) {
    session.root.Reset(f.open(kUserAgent, WINHTTP_ACCESS_TYPE_DEFAULT_PROXY, WINHTTP_NO_PROXY_NAME,
                              WINHTTP_NO_PROXY_BYPASS, 0));
  }
  if (!session.root) {
    error = WithWindowsError("Couldn't start downloading");
    return nullptr;
  }
  // Windows before 8.1 and Wine refuse this option; the answer then arrives as sent.
  DWORD decompression = WINHTTP_DECOMPRESSION_FLAG_GZIP | WINHTTP_DECOMPRESSION_FLAG_DEFLATE;
  f.setOption(session.root.Get(), WINHTTP_OPTION_DECOMPRESSION, &decompression,
              sizeof(decompression));
  const DWORD testTimeout = session.settings.timeoutMs;
  f.setTimeouts(session.root.Get(), testTimeout != 0 ? testTimeout : kResolveTimeoutMs,
                testTimeout != 0 ? testTimeout : kConnectTimeoutMs,
                testTimeout != 0 ? testTimeout : kSendTimeoutMs,
                testTimeout != 0 ? testTimeout : kReceiveTimeoutMs);
  return session.root.Get();
}

// The session's connection handle for the address's host and port, made on first use.
HINTERNET SessionConnection(const WinHttpFunctions& f, HttpSession& session, HINTERNET root,
                            const Address& address, std::string& error) {
  for (const HttpSession::Connection& known : session.connections) {
    if (known.port == address.port && known.host == address.host) return known.handle.Get();
  }
  UniqueInternet handle(f.connect(root, address.host.c_str(), address.port, 0));
  if (!handle) {
    error = WithWindowsError("Couldn't reach the website");
    return nullptr;
  }
  session.connections.push_back({address.host, address.port, std::move(handle)});
  return session.connections.back().handle.Get();
}

// Takes the connection handle for the address's host and port out of the session.
UniqueInternet ForgetConnection(HttpSession& session, const Address& address) {
  auto& known = session.connections;
  for (auto it = known.begin(); it != known.end(); ++it) {
    if (it->port == address.port && it->host == address.host) {
      UniqueInternet handle = std::move(it->handle);
      known.erase(it);
      return handle;
    }
  }
  return {};
}

}  // namespace

namespace {

// The body's bytes since the start of the current window of the slow answer's rule.
struct SpeedWindow {
  ULONGLONG startMs = GetTickCount64();
  uint64_t bytes = 0;
};

// Whether the window that has just run out averaged below the floor; otherwise the next window
// starts. WinHTTP has no such limit, so the read loop keeps the average libcurl keeps.
bool TooSlow(SpeedWindow& window, uint64_t read, const HttpSettings& settings) {
  window.bytes += read;
  const ULONGLONG now = GetTickCount64();
  const ULONGLONG elapsedMs = now - window.startMs;
  if (elapsedMs < settings.slowWindowMs) return false;
  if (window.bytes * 1000 < uint64_t{settings.slowestBytesPerSecond} * elapsedMs) return true;
  window = {now, 0};
  return false;
}

// A piece of the body in the buffer, and how its reading ended.
struct Piece {
  DWORD size = 0;
  bool failed = false;   // cut off, or nothing for the receive time-out
  bool ended = false;    // the body's end
  bool tooSlow = false;  // the window ran out below the floor
};

// Reads what is waiting, and on while a read finds a full network buffer's worth (Wine's WinHTTP
// tells 8 KiB at most), so that a fast connection crosses in large pieces and a slow one's bytes
// are handed over as they come. A read asked for more than is waiting would wait to fill it,
// however slowly the bytes came, out of the slow answer's rule's sight.
Piece ReadPiece(const WinHttpFunctions& f, HINTERNET handle, char* buffer, SpeedWindow& window,
                const HttpSettings& settings) {
  Piece piece;
  for (;;) {
    DWORD waiting = 0;
    DWORD read = 0;
    const DWORD room = kReadBufferBytes - piece.size;
    piece.failed =
        !f.queryDataAvailable(handle, &waiting) ||
        !f.readData(handle, buffer + piece.size, std::clamp<DWORD>(waiting, 1, room), &read);
    piece.size += read;
    piece.ended = !piece.failed && read == 0;
    // Only a read ends a wait, so a stall still ends at the receive time-out.
    piece.tooSlow = TooSlow(window, read, settings);
    if (piece.failed || piece.ended || piece.tooSlow || read < kNetworkBufferBytes ||
        piece.size == kReadBufferBytes) {
      return piece;
    }
  }
}

// Hands the answer's body to sink, checking it against the request's ceiling and, for a part,
// its length, and giving up on one that arrives too slowly. What arrived before a failure is
// handed over first.
FetchStatus ReadBody(const WinHttpFunctions& f, HINTERNET handle, const HttpRequest& request,
                     const HttpSettings& settings, const BodySink& sink, std::string& error) {
  const bool ranged = request.rangeLength != 0;
  std::unique_ptr<char[]> buffer;
  try {
    buffer.reset(new char[kReadBufferBytes]);
  } catch (const std::bad_alloc&) {
    error = kPartWay;
    return FetchStatus::Failed;
  }
  uint64_t received = 0;
  SpeedWindow window;
  for (;;) {
    const Piece piece = ReadPiece(f, handle, buffer.get(), window, settings);
    if (piece.size > 0) {
      // Content-Length may be absent, and a decoded body is longer than the one announced.
      if (piece.size > request.maxBytes - received) return FetchStatus::TooLong;
      if (!sink(buffer.get(), piece.size)) return FetchStatus::Failed;
      received += piece.size;
      if (request.progress) request.progress(received, request.expectedSize);
    }
    if (piece.failed || piece.tooSlow) {
      error = kPartWay;
      return FetchStatus::Failed;
    }
    if (piece.ended) {
      // A part is never encoded, so one that ends short was cut off: Wine reports a connection
      // closed early as the body's end.
      if (ranged && received != request.rangeLength) {
        error = kPartWay;
        return FetchStatus::Failed;
      }
      return FetchStatus::Done;
    }
  }
}

}  // namespace

FetchStatus HttpFetch(HttpSession& session, const HttpRequest& request, const BodySink& sink,
                      std::string& error, bool& responded) {
  responded = false;
  const std::string& url = request.url;
  const std::string notAnAddress = "That isn't a web address: " + url;
  std::wstring wideUrl;
  try {
    wideUrl = Utf8ToWide(url);
  } catch (const std::system_error&) {
    error = notAnAddress;
    return FetchStatus::Failed;
  }

  const WinHttpFunctions* f = WinHttp();
  if (f == nullptr) {
    SetLastError(gLoadError);
    error = WithWindowsError("Couldn't start downloading");
    return FetchStatus::Failed;
  }
  Address address;
  if (!SplitAddress(*f, wideUrl, address)) {
    error = notAnAddress;
    return FetchStatus::Failed;
  }
  const HINTERNET root = SessionRoot(*f, session, error);
  if (root == nullptr) return FetchStatus::Failed;
  const HINTERNET connection = SessionConnection(*f, session, root, address, error);
  if (connection == nullptr) return FetchStatus::Failed;

  // Declared before the request so that it closes after it.
  UniqueInternet retired;
  // A new request on the kept connection handle: WinHTTP reuses the connection once the previous
  // answer has been read to its end.
  UniqueInternet handle(f->openRequest(connection, L"GET", address.objectName.c_str(), nullptr,
                                       WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES,
                                       address.secure ? WINHTTP_FLAG_SECURE : 0));
  const bool ranged = request.rangeLength != 0;
  const std::wstring headers =
      ranged ? L"Range: " + Utf8ToWide(RangeHeaderValue(request)) + L"\r\n" : std::wstring();
  if (!handle ||
      !f->sendRequest(handle.Get(), ranged ? headers.c_str() : WINHTTP_NO_ADDITIONAL_HEADERS,
                      ranged ? static_cast<DWORD>(headers.size()) : 0, WINHTTP_NO_REQUEST_DATA, 0,
                      0, 0) ||
      !f->receiveResponse(handle.Get(), nullptr)) {
    error = "Couldn't reach " + WideToUtf8(address.host) + " (is the internet on?)";
    return FetchStatus::Failed;
  }
  responded = true;
  if (AnsweredElsewhere(*f, handle.Get(), address)) {
    retired = ForgetConnection(session, address);
  }

  DWORD status = 0;
  DWORD statusSize = sizeof(status);
  if (!f->queryHeaders(handle.Get(), WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                       WINHTTP_HEADER_NAME_BY_INDEX, &status, &statusSize,
                       WINHTTP_NO_HEADER_INDEX)) {
    status = 0;
  }
  if (ranged && status >= 200 && status < 300 &&
      (status != 206 || !ContentRangeMatches(request, ContentRange(*f, handle.Get())))) {
    return FetchStatus::RangeIgnored;
  }
  if (status != (ranged ? 206 : 200)) {
    error = "The website said " + std::to_string(status);
    if (status == 404) error += " (there's no release on it yet)";
    return FetchStatus::Failed;
  }
  uint64_t announced = 0;
  if (AnnouncedLength(*f, handle.Get(), announced) && announced > request.maxBytes) {
    return FetchStatus::TooLong;
  }

  return ReadBody(*f, handle.Get(), request, session.settings, sink, error);
}
