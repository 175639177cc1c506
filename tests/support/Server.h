#pragma once
// A real HTTP server on 127.0.0.1 for tests: for each request a handler chooses, by the path,
// how to answer or how to misbehave. Each connection runs on a thread of its own until the
// server is destroyed. LocalServer gives plain answers; HostileServer misbehaves the same way
// for every path but those it is given.
#include <algorithm>
#include <atomic>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace testing_support {

// How to answer:
//   whole    sends `head` then `body` at once (status lines and headers are the test's own);
//   trickle  sends `head` then `body` one byte a second;
//   flood    sends `head`, then `size` bytes of `body` repeated, as fast as they are taken;
//   silent   reads the request and never answers;
//   hangUp   closes the connection as soon as the request is in;
//   stall    sends `head` and the first `size` bytes of `body`, then nothing more.
struct Misbehaviour {
  enum class Kind { whole, trickle, flood, silent, hangUp, stall };
  Kind kind = Kind::whole;
  std::string head;  // status line and headers, up to and including the blank line
  std::string body;
  std::size_t size = 0;  // flood and stall only
};

// The usual head for a body: status, a JSON type, Content-Length when `length` is not empty.
std::string head(int status, const std::string& length = "");

// A plain answer of this status and body, with its length.
Misbehaviour answer(int status, const std::string& body);

class Server {
 public:
  using Handler = std::function<Misbehaviour(const std::string& path)>;
  explicit Server(Handler handler);
  ~Server();
  Server(Server&&) = delete;  // neither copied nor moved

  int port() const { return port_; }
  std::string base() const { return "http://127.0.0.1:" + std::to_string(port_); }
  int connections() const { return connections_; }
  // How many answers have stalled, everything before the stall sent.
  int stalled() const { return stalled_; }
  // How many requests asked for this path.
  int count(const std::string& path) {
    std::lock_guard lock(mutex_);
    return static_cast<int>(std::count(paths_.begin(), paths_.end(), path));
  }

 private:
  void misbehave(int client);

  Handler handler_;
  int listener_ = -1, port_ = 0;
  std::atomic<bool> stopping_{false};
  std::atomic<int> connections_{0}, stalled_{0};
  std::mutex mutex_;
  std::vector<int> clients_;
  std::vector<std::string> paths_;
  std::vector<std::thread> workers_;
  std::thread acceptor_;
};

struct Answer {
  int status = 200;
  std::string body;
  bool never = false;  // accept the request and never answer it
};

class LocalServer : public Server {
 public:
  using Handler = std::function<Answer(const std::string& path)>;
  explicit LocalServer(Handler handler)
      : Server([handler = std::move(handler)](const std::string& path) {
          Answer a = handler(path);
          return a.never ? Misbehaviour{Misbehaviour::Kind::silent, "", "", 0}
                         : answer(a.status, a.body);
        }) {}
};

class HostileServer : public Server {
 public:
  explicit HostileServer(Misbehaviour how, std::map<std::string, Misbehaviour> paths = {})
      : Server([how = std::move(how), paths = std::move(paths)](const std::string& path) {
          auto found = paths.find(path);
          return found == paths.end() ? how : found->second;
        }) {}
};

}  // namespace testing_support
