#include "support/Server.h"

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <stdexcept>

namespace testing_support {

std::string head(int status, const std::string& length) {
  std::string text = "HTTP/1.1 " + std::to_string(status) + " Whatever\r\n";
  text += "Content-Type: application/json\r\nConnection: close\r\n";
  if (!length.empty()) text += "Content-Length: " + length + "\r\n";
  return text + "\r\n";
}

Misbehaviour answer(int status, const std::string& body) {
  // No type: the body may be a page as well as JSON.
  return {Misbehaviour::Kind::whole,
          "HTTP/1.1 " + std::to_string(status) + " Answer\r\nContent-Length: " +
              std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n",
          body};
}

Server::Server(Handler handler, int port) : handler_(std::move(handler)) {
  listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  int yes = 1;
  ::setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(static_cast<uint16_t>(port));
  socklen_t length = sizeof address;
  if (::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::listen(listener_, 64) != 0 ||
      ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    ::close(listener_);
    throw std::runtime_error("cannot listen on 127.0.0.1");
  }
  port_ = ntohs(address.sin_port);
  acceptor_ = std::thread([this] { serve(); });
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

int Server::count(const std::string& path) {
  std::lock_guard lock(mutex_);
  return static_cast<int>(std::count(paths_.begin(), paths_.end(), path));
}

void Server::serve() {
  while (!stopping_) {
    pollfd waiting{listener_, POLLIN, 0};
    if (::poll(&waiting, 1, 100) <= 0) continue;
    int client = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
    if (client < 0) continue;
    std::lock_guard lock(mutex_);
    ++connections_;
    clients_.push_back(client);
    workers_.emplace_back([this, client] { misbehave(client); });
  }
}

bool Server::send(int client, const char* data, std::size_t size) {
  while (size > 0 && !stopping_) {
    ssize_t sent = ::send(client, data, size, MSG_NOSIGNAL);
    if (sent <= 0) return false;
    data += sent;
    size -= static_cast<std::size_t>(sent);
  }
  return size == 0;
}

void Server::pause(int milliseconds) {
  auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
  while (!stopping_ && std::chrono::steady_clock::now() < until) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

void Server::misbehave(int client) {
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
  // "GET /path HTTP/1.1"
  const auto start = request.find(' ');
  const std::string path =
      start == std::string::npos
          ? ""
          : request.substr(start + 1, request.find(' ', start + 1) - start - 1);
  {
    std::lock_guard lock(mutex_);
    paths_.push_back(path);
  }
  const Misbehaviour how = handler_(path);
  switch (how.kind) {
    case Misbehaviour::Kind::whole:
      if (send(client, how.head.data(), how.head.size()))
        send(client, how.body.data(), how.body.size());
      break;
    case Misbehaviour::Kind::trickle:
      for (char c : how.head + how.body) {
        if (!send(client, &c, 1)) break;
        pause(1000);
      }
      break;
    case Misbehaviour::Kind::flood:
      if (!send(client, how.head.data(), how.head.size()) || how.body.empty()) break;
      for (std::size_t sent = 0; sent < how.size && !stopping_;) {
        std::size_t n = std::min(how.body.size(), how.size - sent);
        if (!send(client, how.body.data(), n)) break;
        sent += n;
      }
      break;
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
  std::lock_guard lock(mutex_);
  clients_.erase(std::remove(clients_.begin(), clients_.end(), client), clients_.end());
  ::shutdown(client, SHUT_RDWR);
  ::close(client);
}

}  // namespace testing_support
