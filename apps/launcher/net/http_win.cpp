// winhttp.h needs the types that windows.h declares, so the order is fixed.
// clang-format off
#include <windows.h>

#include <winhttp.h>
// clang-format on

#include <mutex>
#include <new>
#include <stdexcept>
#include <string>
#include <system_error>

#include "common/system.h"
#include "common/system_library_win.h"
#include "common/text.h"
#include "common/unique_handle.h"
#include "net/http.h"
#include "net/http_test_settings.h"

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

HttpTestSettings gTestSettings;

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

}  // namespace

void SetHttpTestSettings(const HttpTestSettings& settings) { gTestSettings = settings; }

bool HttpGet(const std::string& url, std::string& body, std::string& error, bool& responded,
             uint64_t expectedSize, const DownloadProgress& progress) {
  body.clear();
  responded = false;
  const std::string notAnAddress = "That isn't a web address: " + url;
  std::wstring wideUrl;
  try {
    wideUrl = Utf8ToWide(url);
  } catch (const std::system_error&) {
    error = notAnAddress;
    return false;
  }

  const WinHttpFunctions* f = WinHttp();
  if (f == nullptr) {
    SetLastError(gLoadError);
    error = WithWindowsError("Couldn't start downloading");
    return false;
  }

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
  if (wideUrl.size() > MAXDWORD ||
      !f->crackUrl(wideUrl.c_str(), static_cast<DWORD>(wideUrl.size()), 0, &parts)) {
    error = notAnAddress;
    return false;
  }
  const std::wstring hostName(host, parts.dwHostNameLength);
  const std::wstring objectName =
      std::wstring(path, parts.dwUrlPathLength) + std::wstring(extra, parts.dwExtraInfoLength);

  UniqueInternet root(f->open(kUserAgent, WINHTTP_ACCESS_TYPE_AUTOMATIC_PROXY,
                              WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0));
  if (!root) {
    root.Reset(f->open(kUserAgent, WINHTTP_ACCESS_TYPE_DEFAULT_PROXY, WINHTTP_NO_PROXY_NAME,
                       WINHTTP_NO_PROXY_BYPASS, 0));
  }
  if (!root) {
    error = WithWindowsError("Couldn't start downloading");
    return false;
  }

  // Windows before 8.1 and Wine refuse this option; the answer then arrives as sent.
  DWORD decompression = WINHTTP_DECOMPRESSION_FLAG_GZIP | WINHTTP_DECOMPRESSION_FLAG_DEFLATE;
  f->setOption(root.Get(), WINHTTP_OPTION_DECOMPRESSION, &decompression, sizeof(decompression));
  const DWORD testTimeout = gTestSettings.timeoutMs;
  f->setTimeouts(root.Get(), testTimeout != 0 ? testTimeout : kResolveTimeoutMs,
                 testTimeout != 0 ? testTimeout : kConnectTimeoutMs,
                 testTimeout != 0 ? testTimeout : kSendTimeoutMs,
                 testTimeout != 0 ? testTimeout : kReceiveTimeoutMs);

  UniqueInternet connection(f->connect(root.Get(), hostName.c_str(), parts.nPort, 0));
  if (!connection) {
    error = WithWindowsError("Couldn't reach the website");
    return false;
  }

  const DWORD flags = parts.nScheme == INTERNET_SCHEME_HTTPS ? WINHTTP_FLAG_SECURE : 0;
  UniqueInternet request(f->openRequest(connection.Get(), L"GET", objectName.c_str(), nullptr,
                                        WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES, flags));
  if (!request ||
      !f->sendRequest(request.Get(), WINHTTP_NO_ADDITIONAL_HEADERS, 0, WINHTTP_NO_REQUEST_DATA, 0,
                      0, 0) ||
      !f->receiveResponse(request.Get(), nullptr)) {
    error = "Couldn't reach " + WideToUtf8(hostName) + " (is the internet on?)";
    return false;
  }
  responded = true;

  DWORD status = 0;
  DWORD statusSize = sizeof(status);
  if (!f->queryHeaders(request.Get(), WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                       WINHTTP_HEADER_NAME_BY_INDEX, &status, &statusSize,
                       WINHTTP_NO_HEADER_INDEX)) {
    status = 0;
  }
  if (status != 200) {
    error = "The website said " + std::to_string(status);
    if (status == 404) error += " (there's no release on it yet)";
    return false;
  }

  std::string scratch;
  for (;;) {
    DWORD available = 0;
    if (!f->queryDataAvailable(request.Get(), &available)) {
      error = kPartWay;
      return false;
    }
    if (available == 0) return true;
    try {
      scratch.resize(available);
    } catch (const std::bad_alloc&) {
      error = kPartWay;
      return false;
    }
    DWORD read = 0;
    if (!f->readData(request.Get(), scratch.data(), available, &read) ||
        !AppendToBody(body, scratch.data(), read)) {
      error = kPartWay;
      return false;
    }
    if (progress) progress(body.size(), expectedSize);
  }
}
