#pragma once
// GET requests. Completions run on a thread of the request's own: a question to a server on
// this computer on a thread of its own, everything else on one shared session thread.
#include <cstddef>
#include <functional>
#include <optional>
#include <string>

namespace Platform::Http {

struct Request {
  std::string url;
  double timeout = 60;            // seconds for the whole request
  std::size_t maxBody = 1 << 20;  // a longer body fails the request
  bool headersOnly = false;       // complete once the status line and headers are in
  // A plain-HTTP question to this computer (127.x.y.z, [::1] or localhost), asked without
  // libcurl: no proxy, no redirects followed, any other address fails.
  bool thisComputer = false;
};

enum class Failure {
  none,     // a response arrived
  refused,  // nothing accepts connections at the address
  other,    // any other failure: time-out, bad address, broken answer, body too long
};

struct Reply {
  Failure failure = Failure::other;
  std::string error;                // the failure in words; empty on success
  long status = 0;                  // the HTTP status, 0 when no response arrived
  std::optional<std::string> body;  // the whole body, when it arrived (not with headersOnly)
};

// Starts the request and returns at once; `done` is called exactly once, on another thread.
void get(Request request, std::function<void(Reply)> done);

}  // namespace Platform::Http
