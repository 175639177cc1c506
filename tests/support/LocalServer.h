#pragma once
// A server whose handler gives plain answers (see Server.h).
#include "support/Server.h"

namespace testing_support {

struct Answer {
  int status = 200;
  std::string body;
  bool never = false;  // accept the request and never answer it
};

class LocalServer : public Server {
 public:
  using Handler = std::function<Answer(const std::string& path)>;
  explicit LocalServer(Handler handler, int port = 0)
      : Server(
            [handler = std::move(handler)](const std::string& path) {
              Answer a = handler(path);
              Misbehaviour silent;
              silent.kind = Misbehaviour::Kind::silent;
              return a.never ? silent : answer(a.status, a.body);
            },
            port) {}
};

}  // namespace testing_support
