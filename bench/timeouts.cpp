// Desk::look and Desk::busy against a desk that accepts connections and never answers.
//   bench-timeouts RUNS
// HOME must be a temporary home folder with a desk folder in it. Listens on a loopback port
// that never answers, points QUENDREL_PORT at it, and prints "look S" and "busy S" per run:
// the seconds until each handed over its answer.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <future>
#include <iostream>
#include <string>

#include "desk/Desk.h"

namespace {

// A listening socket that is never accepted from: the kernel completes connections, nobody reads.
class Silent {
 public:
  Silent() : fd_(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (fd_ < 0 || bind(fd_, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
        listen(fd_, 64) != 0 ||
        getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
      throw std::runtime_error("cannot listen on loopback");
    }
    port_ = ntohs(address.sin_port);
  }
  ~Silent() { close(fd_); }
  Silent(const Silent&) = delete;
  Silent& operator=(const Silent&) = delete;
  int port() const { return port_; }

 private:
  int fd_;
  int port_ = 0;
};

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::cerr << "usage: bench-timeouts RUNS\n";
    return 2;
  }
  const int runs = std::stoi(argv[1]);
  Silent desk;
  setenv("QUENDREL_PORT", std::to_string(desk.port()).c_str(), 1);
  for (int run = 0; run < runs; ++run) {
    std::promise<DeskState> answered;
    auto start = std::chrono::steady_clock::now();
    Desk::look([&answered](DeskState state) { answered.set_value(state); });
    answered.get_future().wait();
    std::chrono::duration<double> look = std::chrono::steady_clock::now() - start;

    start = std::chrono::steady_clock::now();
    Desk::busy();
    std::chrono::duration<double> busy = std::chrono::steady_clock::now() - start;
    std::cout << "look " << look.count() << "\nbusy " << busy.count() << std::endl;
  }
}
