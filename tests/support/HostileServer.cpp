#include "support/HostileServer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <stdexcept>

namespace testing_support {

std::string head(int status, const std::string& length) {
  std::string text = "HTTP/1.1 " + std::to_string(status) + " Whatever\r\n";
  text += "Content-Type: application/json\r\nConnection: close\r\n";
  if (!length.empty()) text += "Content-Length: " + length + "\r\n";
  return text + "\r\n";
}

HostileServer::HostileServer(Misbehaviour how, std::map<std::string, Misbehaviour> paths)
    : how_(std::move(how)), paths_(std::move(paths)) {
  listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (listener_ < 0) throw std::runtime_error("no socket");
  int yes = 1;
  ::setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::listen(listener_, 16) != 0 ||
      ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    ::close(listener_);
    throw std::runtime_error("cannot listen on 127.0.0.1");
  }
  port_ = ntohs(address.sin_port);
  acceptor_ = std::thread([this] { serve(); });
}

HostileServer::~HostileServer() {
  stopping_ = true;
  ::shutdown(listener_, SHUT_RDWR);
  {
    std::lock_guard lock(mutex_);
    for (int client : clients_) ::shutdown(client, SHUT_RDWR);
  }
  acceptor_.join();
  for (auto& worker : workers_) worker.join();
  for (int client : clients_) ::close(client);
  ::close(listener_);
}

void HostileServer::serve() {
  while (!stopping_) {
    pollfd waiting{listener_, POLLIN, 0};
    if (::poll(&waiting, 1, 100) <= 0) continue;
    int client = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
    if (client < 0) continue;
    std::lock_guard lock(mutex_);
    if (stopping_) {
      ::close(client);
      break;
    }
    ++connections_;
    clients_.push_back(client);
    workers_.emplace_back([this, client] { misbehave(client); });
  }
}

bool HostileServer::send(int client, const char* data, std::size_t size) {
  while (size > 0 && !stopping_) {
    ssize_t sent = ::send(client, data, size, MSG_NOSIGNAL);
    if (sent <= 0) return false;
    data += sent;
    size -= static_cast<std::size_t>(sent);
  }
  return size == 0;
}

void HostileServer::pause(int milliseconds) {
  auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
  while (!stopping_ && std::chrono::steady_clock::now() < until) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

// The path of the request line "GET /path HTTP/1.1" picks the misbehaviour.
const Misbehaviour& HostileServer::forRequest(const std::string& request) const {
  const auto start = request.find(' ');
  if (start == std::string::npos) return how_;
  const auto found =
      paths_.find(request.substr(start + 1, request.find(' ', start + 1) - start - 1));
  return found == paths_.end() ? how_ : found->second;
}

void HostileServer::misbehave(int client) {
  // The request: up to its blank line, or whatever arrives in a second.
  std::string request;
  char buffer[4096];
  while (request.find("\r\n\r\n") == std::string::npos && !stopping_) {
    pollfd waiting{client, POLLIN, 0};
    if (::poll(&waiting, 1, 1000) <= 0) break;
    ssize_t got = ::recv(client, buffer, sizeof buffer, 0);
    if (got <= 0) break;
    request.append(buffer, static_cast<std::size_t>(got));
  }
  const Misbehaviour& how = forRequest(request);
  switch (how.kind) {
    case Misbehaviour::Kind::whole:
      if (send(client, how.head.data(), how.head.size())) {
        send(client, how.body.data(), how.body.size());
      }
      break;
    case Misbehaviour::Kind::trickle: {
      std::string all = how.head + how.body;
      for (char c : all) {
        if (!send(client, &c, 1)) break;
        pause(1000);
      }
      break;
    }
    case Misbehaviour::Kind::flood: {
      if (!send(client, how.head.data(), how.head.size()) || how.body.empty()) break;
      for (std::size_t sent = 0; sent < how.size && !stopping_;) {
        std::size_t n = std::min(how.body.size(), how.size - sent);
        if (!send(client, how.body.data(), n)) break;
        sent += n;
      }
      break;
    }
    case Misbehaviour::Kind::stall:
      if (!send(client, how.head.data(), how.head.size()) ||
          !send(client, how.body.data(), std::min(how.size, how.body.size()))) {
        break;
      }
      ++stalled_;
      [[fallthrough]];
    case Misbehaviour::Kind::silent:
      while (!stopping_) {
        pollfd waiting{client, POLLIN, 0};
        if (::poll(&waiting, 1, 100) > 0 && ::recv(client, buffer, sizeof buffer, 0) <= 0) break;
      }
      break;
    case Misbehaviour::Kind::hangUp:
      break;
  }
  ::shutdown(client, SHUT_RDWR);
}

}  // namespace testing_support
