#pragma once
// A real HTTP server on 127.0.0.1 for tests, answering each request from a handler.
#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace testing_support {

struct Answer {
  int status = 200;
  std::string body;
  bool never = false;  // accept the request and never answer it
};

class LocalServer {
 public:
  using Handler = std::function<Answer(const std::string& path)>;
  explicit LocalServer(Handler handler, int port = 0);
  ~LocalServer();
  LocalServer(const LocalServer&) = delete;
  LocalServer& operator=(const LocalServer&) = delete;

  int port() const { return port_; }
  std::string base() const { return "http://127.0.0.1:" + std::to_string(port_); }
  // How many requests arrived, per path.
  int count(const std::string& path);

 private:
  void serve();
  void answer(int client);

  Handler handler_;
  int listener_ = -1;
  int port_ = 0;
  std::atomic<bool> stopping_{false};
  std::mutex mutex_;
  std::vector<int> clients_;
  std::vector<std::string> paths_;
  std::vector<std::thread> workers_;
  std::thread acceptor_;
};

}  // namespace testing_support
