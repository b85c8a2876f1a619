// Placeholder until the HTTP client lands.
#include "net/http.h"

bool HttpGet(const std::string& url, std::string& body, std::string& error, bool& responded,
             uint64_t, const DownloadProgress&) {
  body.clear();
  responded = false;
  error = "That isn't a web address: " + url;
  return false;
}
