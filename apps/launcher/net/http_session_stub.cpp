// A stand-in for the streaming fetch until the back-ends stream: the body still passes whole
// through memory, then goes to the sink in one piece.

#include "net/http.h"

struct HttpSession {};

void HttpSessionCloser::operator()(HttpSession* session) const { delete session; }

HttpSessionOwner OpenHttpSession() { return HttpSessionOwner(new HttpSession); }

bool HttpFetch(HttpSession& /*session*/, const HttpRequest& request, const BodySink& sink,
               std::string& error, bool& responded) {
  std::string body;
  if (!HttpGet(request.url, body, error, responded, request.expectedSize, request.progress)) {
    return false;
  }
  if (body.size() > request.maxBytes) {
    error = request.tooLong;
    return false;
  }
  return body.empty() || sink(body.data(), body.size());
}
