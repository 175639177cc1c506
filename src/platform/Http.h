#pragma once
// GET requests on one shared session thread. Completions run on that thread.
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

// Starts the request and returns at once; `done` is called exactly once, on the session thread.
void get(Request request, std::function<void(Reply)> done);

}  // namespace Platform::Http
