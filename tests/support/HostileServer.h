#pragma once
// A misbehaving HTTP server on 127.0.0.1 for tests: it answers every request the same bad way
// (or, for the paths it is given, each path its own way), each connection on a thread of its
// own, until it is destroyed.
#include <atomic>
#include <cstddef>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace testing_support {

struct Misbehaviour {
  enum class Kind {
    whole,    // sends `head` then `body` at once (status lines and headers are the test's own)
    trickle,  // sends `head` then `body` one byte a second
    flood,    // sends `head`, then `size` bytes of `body` repeated, as fast as they are taken
    silent,   // reads the request and never answers
    hangUp,   // closes the connection as soon as the request is in
    stall,    // sends `head` and the first `size` bytes of `body`, then nothing more
  };
  Kind kind = Kind::whole;
  std::string head;  // status line and headers, up to and including the blank line
  std::string body;
  std::size_t size = 0;  // flood and stall only
};

// The usual head for a body: status, Content-Length when `length` is not empty.
std::string head(int status, const std::string& length = "");

class HostileServer {
 public:
  explicit HostileServer(Misbehaviour how, std::map<std::string, Misbehaviour> paths = {});
  ~HostileServer();
  HostileServer(const HostileServer&) = delete;
  HostileServer& operator=(const HostileServer&) = delete;

  int port() const { return port_; }
  std::string base() const { return "http://127.0.0.1:" + std::to_string(port_); }
  // How many connections it has taken.
  int connections() const { return connections_; }
  // How many answers have stalled, everything before the stall sent.
  int stalled() const { return stalled_; }

 private:
  void serve();
  void misbehave(int client);
  const Misbehaviour& forRequest(const std::string& request) const;
  bool send(int client, const char* data, std::size_t size);
  void pause(int milliseconds);

  Misbehaviour how_;
  std::map<std::string, Misbehaviour> paths_;
  int listener_ = -1;
  int port_ = 0;
  std::atomic<bool> stopping_{false};
  std::atomic<int> connections_{0};
  std::atomic<int> stalled_{0};
  std::mutex mutex_;
  std::vector<int> clients_;
  std::vector<std::thread> workers_;
  std::thread acceptor_;
};

}  // namespace testing_support
