#include "support/LocalServer.h"

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <stdexcept>

namespace testing_support {

LocalServer::LocalServer(Handler handler, int port) : handler_(std::move(handler)) {
  listener_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  int yes = 1;
  setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(static_cast<uint16_t>(port));
  if (bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      listen(listener_, 64) != 0) {
    throw std::runtime_error("the test server could not listen");
  }
  socklen_t length = sizeof address;
  getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length);
  port_ = ntohs(address.sin_port);
  acceptor_ = std::thread([this] { serve(); });
}

LocalServer::~LocalServer() {
  stopping_ = true;
  shutdown(listener_, SHUT_RDWR);
  acceptor_.join();
  {
    std::lock_guard lock(mutex_);
    for (int c : clients_) shutdown(c, SHUT_RDWR);
  }
  for (auto& w : workers_) w.join();
  close(listener_);
}

int LocalServer::count(const std::string& path) {
  std::lock_guard lock(mutex_);
  return static_cast<int>(std::count(paths_.begin(), paths_.end(), path));
}

void LocalServer::serve() {
  while (!stopping_) {
    pollfd p{listener_, POLLIN, 0};
    if (poll(&p, 1, 100) <= 0) continue;
    int client = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
    if (client < 0) continue;
    std::lock_guard lock(mutex_);
    clients_.push_back(client);
    workers_.emplace_back([this, client] { answer(client); });
  }
}

void LocalServer::answer(int client) {
  std::string request;
  char buffer[4096];
  while (request.find("\r\n\r\n") == std::string::npos) {
    ssize_t n = recv(client, buffer, sizeof buffer, 0);
    if (n <= 0) break;
    request.append(buffer, static_cast<size_t>(n));
  }
  std::string path;
  auto space = request.find(' ');
  if (space != std::string::npos) {
    auto end = request.find(' ', space + 1);
    path = request.substr(space + 1, end - space - 1);
  }
  {
    std::lock_guard lock(mutex_);
    paths_.push_back(path);
  }
  Answer a = handler_(path);
  if (a.never) {
    // Hold the connection until the test ends.
    while (!stopping_ && recv(client, buffer, sizeof buffer, 0) > 0) {
    }
  } else {
    std::string head = "HTTP/1.1 " + std::to_string(a.status) + " Answer\r\nContent-Length: " +
                       std::to_string(a.body.size()) + "\r\nConnection: close\r\n\r\n";
    std::string all = head + a.body;
    size_t sent = 0;
    while (sent < all.size()) {
      ssize_t n = send(client, all.data() + sent, all.size() - sent, MSG_NOSIGNAL);
      if (n <= 0) break;
      sent += static_cast<size_t>(n);
    }
  }
  std::lock_guard lock(mutex_);
  clients_.erase(std::remove(clients_.begin(), clients_.end(), client), clients_.end());
  close(client);
}

}  // namespace testing_support
