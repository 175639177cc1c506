#include "support/Child.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <stdexcept>

#include "support/Home.h"

extern char** environ;

namespace testing_support {

namespace {

void readSome(int fd, std::string& into, bool& open) {
  char buffer[65536];
  ssize_t n = ::read(fd, buffer, sizeof buffer);
  if (n > 0) {
    into.append(buffer, static_cast<std::size_t>(n));
  } else if (n == 0 || errno != EINTR) {
    open = false;
  }
}

}  // namespace

Child::Child(const std::filesystem::path& program, const std::vector<std::string>& args,
             const Environment& environment, Input input) {
  // Everything the child needs is made before the fork.
  std::vector<std::string> words{program.string()};
  words.insert(words.end(), args.begin(), args.end());
  std::vector<std::string> variables;
  for (char** e = environ; *e; ++e) {
    const std::string entry = *e;
    bool replaced = false;
    for (const auto& given : environment) replaced |= entry.rfind(given.first + "=", 0) == 0;
    if (!replaced) variables.push_back(entry);
  }
  for (const auto& [name, value] : environment) variables.push_back(name + "=" + value);
  std::vector<char*> argv, envp;
  for (auto& w : words) argv.push_back(w.data());
  for (auto& v : variables) envp.push_back(v.data());
  argv.push_back(nullptr);
  envp.push_back(nullptr);

  int out[2], err[2], in[2];
  if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0 || pipe2(in, O_CLOEXEC) != 0) {
    throw std::runtime_error("no pipes");
  }
  const int nothing = open("/dev/null", O_RDONLY | O_CLOEXEC);
  pid_ = fork();
  if (pid_ == 0) {
    setpgid(0, 0);
    dup2(input == Input::quiet ? in[0] : nothing, STDIN_FILENO);
    dup2(out[1], STDOUT_FILENO);
    dup2(err[1], STDERR_FILENO);
    execve(argv[0], argv.data(), envp.data());
    _exit(127);
  }
  for (int fd : {out[1], err[1], in[0], nothing}) close(fd);
  out_ = out[0];
  err_ = err[0];
  in_ = in[1];
}

Child::~Child() {
  if (!waited_) wait(0);
}

Ran Child::wait(double guard) {
  waited_ = true;
  Ran ran;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(guard);
  bool outOpen = true, errOpen = true;
  while (outOpen || errOpen) {
    if (!ran.hung && std::chrono::steady_clock::now() >= deadline) {
      ran.hung = true;
      kill(-pid_, SIGKILL);
      kill(pid_, SIGKILL);
    }
    pollfd fds[2] = {{outOpen ? out_ : -1, POLLIN, 0}, {errOpen ? err_ : -1, POLLIN, 0}};
    if (poll(fds, 2, 100) > 0) {
      if (fds[0].revents) readSome(out_, ran.out, outOpen);
      if (fds[1].revents) readSome(err_, ran.err, errOpen);
    }
  }
  int status = 0;
  rusage usage{};
  wait4(pid_, &status, 0, &usage);
  if (ran.hung) kill(-pid_, SIGKILL);  // what it left in its group goes too
  for (int fd : {out_, err_, in_}) close(fd);
  ran.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  ran.peakKiB = usage.ru_maxrss;
  return ran;
}

Ran run(const std::filesystem::path& program, const std::vector<std::string>& args,
        const Environment& environment, Input input, double guard) {
  return Child(program, args, environment, input).wait(guard);
}

namespace {

// A socket bound, or connected, to this port of 127.0.0.1 (0: any free port); closed.
int loopback(int port, bool connecting) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(static_cast<uint16_t>(port));
  socklen_t length = sizeof address;
  auto* any = reinterpret_cast<sockaddr*>(&address);
  const int done = connecting ? connect(fd, any, length) : bind(fd, any, length);
  getsockname(fd, any, &length);
  close(fd);
  return done == 0 ? (connecting ? port : ntohs(address.sin_port)) : -1;
}

}  // namespace

bool listening(int port) {
  return loopback(port, true) == port;
}

int freePort() {
  return loopback(0, false);
}

Environment fastClock(long factor) {
  return {{"LD_PRELOAD", FASTCLOCK}, {"FASTCLOCK_FACTOR", std::to_string(factor)}};
}

}  // namespace testing_support
