#include "support/Server.h"

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <sstream>
#include <stdexcept>

#include "support/Child.h"
#include "support/Home.h"

using namespace std::chrono_literals;

namespace testing_support {
namespace {

// A TCP socket bound to any free port of 127.0.0.1, or connected to this one; gives it and
// the port it is bound to (-1 when that failed).
std::pair<int, int> loopback(int port, bool connecting) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{AF_INET, htons(static_cast<uint16_t>(port)), {htonl(INADDR_LOOPBACK)}, {}};
  socklen_t length = sizeof address;
  auto* any = reinterpret_cast<sockaddr*>(&address);
  const int done = connecting ? ::connect(fd, any, length) : ::bind(fd, any, length);
  return {fd, done == 0 && ::getsockname(fd, any, &length) == 0 ? ntohs(address.sin_port) : -1};
}

// Sends all of it unless the connection or the server ends first.
bool sendAll(int client, std::string_view data, const std::atomic<bool>& stopping) {
  while (!data.empty() && !stopping) {
    const ssize_t sent = ::send(client, data.data(), data.size(), MSG_NOSIGNAL);
    if (sent <= 0) return false;
    data.remove_prefix(static_cast<std::size_t>(sent));
  }
  return data.empty();
}

}  // namespace

bool listening(int port) {
  const auto [fd, bound] = loopback(port, true);
  ::close(fd);
  return bound >= 0;
}

int freePort() {
  const auto [fd, bound] = loopback(0, false);
  ::close(fd);
  return bound;
}

std::string head(int status, const std::string& length) {
  return "HTTP/1.1 " + std::to_string(status) +
         " Whatever\r\nContent-Type: application/json\r\nConnection: close\r\n" +
         (length.empty() ? "" : "Content-Length: " + length + "\r\n") + "\r\n";
}

Misbehaviour answer(int status, const std::string& body) {
  // No type: the body may be a page as well as JSON.
  return {Misbehaviour::Kind::whole,
          "HTTP/1.1 " + std::to_string(status) + " Answer\r\nContent-Length: " +
              std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n",
          body};
}

Server::Server(Handler handler) : handler_(std::move(handler)) {
  std::tie(listener_, port_) = loopback(0, false);
  if (port_ < 0 || ::listen(listener_, 64) != 0) {
    ::close(listener_);
    throw std::runtime_error("cannot listen on 127.0.0.1");
  }
  acceptor_ = std::thread([this] {
    // Shutting the listener down ends a waiting accept.
    while (!stopping_) {
      const int client = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
      if (client < 0) continue;
      std::lock_guard lock(mutex_);
      ++connections_;
      clients_.push_back(client);
      workers_.emplace_back([this, client] { misbehave(client); });
    }
  });
}

Server::~Server() {
  stopping_ = true;
  ::shutdown(listener_, SHUT_RDWR);
  acceptor_.join();
  {
    std::lock_guard lock(mutex_);
    for (int client : clients_) ::shutdown(client, SHUT_RDWR);
  }
  for (auto& worker : workers_) worker.join();
  ::close(listener_);
}

void Server::misbehave(int client) {
  // The request: up to its blank line, or whatever arrives in a second.
  std::string request;
  char buffer[4096];
  pollfd waiting{client, POLLIN, 0};
  while (request.find("\r\n\r\n") == std::string::npos && !stopping_ &&
         ::poll(&waiting, 1, 1000) > 0) {
    const ssize_t got = ::recv(client, buffer, sizeof buffer, 0);
    if (got <= 0) break;
    request.append(buffer, static_cast<std::size_t>(got));
  }
  std::string method, path;  // "GET /path HTTP/1.1"
  std::istringstream(request) >> method >> path;
  {
    std::lock_guard lock(mutex_);
    paths_.push_back(path);
  }
  using Kind = Misbehaviour::Kind;
  const Misbehaviour how = handler_(path);
  const auto send = [&](std::string_view data) { return sendAll(client, data, stopping_); };
  bool wait = how.kind == Kind::silent;
  if (how.kind == Kind::whole) send(how.head + how.body);
  if (how.kind == Kind::trickle)
    for (char c : how.head + how.body) {
      if (!send({&c, 1})) break;
      for (int i = 0; i < 50 && !stopping_; ++i) std::this_thread::sleep_for(20ms);
    }
  if (how.kind == Kind::flood && send(how.head) && !how.body.empty())
    for (std::size_t sent = 0; sent < how.size;) {
      const std::size_t n = std::min(how.body.size(), how.size - sent);
      if (!send({how.body.data(), n})) break;
      sent += n;
    }
  if (how.kind == Kind::stall && send(how.head + how.body.substr(0, how.size))) {
    ++stalled_;
    wait = true;
  }
  // Until the client hangs up or the server ends.
  while (wait && !stopping_)
    if (::poll(&waiting, 1, 100) > 0 && ::recv(client, buffer, sizeof buffer, 0) <= 0) break;
  std::lock_guard lock(mutex_);
  clients_.erase(std::remove(clients_.begin(), clients_.end(), client), clients_.end());
  ::shutdown(client, SHUT_RDWR);
  ::close(client);
}

}  // namespace testing_support
