#include "support/Child.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <stdexcept>

extern char** environ;

namespace testing_support {

Child::Child(const fs::path& program, const std::vector<std::string>& args,
             const Environment& environment, Input input) {
  // Everything the child needs is made before the fork: the given variables replace the
  // inherited ones of the same name.
  std::vector<std::string> words{program.string()}, variables;
  words.insert(words.end(), args.begin(), args.end());
  for (char** e = environ; *e; ++e) variables.push_back(*e);
  for (const auto& [name, value] : environment) {
    std::erase_if(variables, [&](const std::string& v) { return v.starts_with(name + "="); });
    variables.push_back(name + "=" + value);
  }
  std::vector<char*> argv{nullptr}, envp{nullptr};
  for (auto& w : words) argv.insert(argv.end() - 1, w.data());
  for (auto& v : variables) envp.insert(envp.end() - 1, v.data());

  int out[2], err[2], in[2];
  for (int* ends : {out, err, in})
    if (pipe2(ends, O_CLOEXEC) != 0) throw std::runtime_error("no pipes");
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

Ran Child::wait(double guard) {
  Ran ran;
  if (out_ < 0) return ran;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(guard);
  pollfd fds[2] = {{out_, POLLIN, 0}, {err_, POLLIN, 0}};
  std::string* into[2] = {&ran.out, &ran.err};
  while (fds[0].fd >= 0 || fds[1].fd >= 0) {
    if (!ran.hung && std::chrono::steady_clock::now() >= deadline) {
      ran.hung = true;
      kill(-pid_, SIGKILL);
      kill(pid_, SIGKILL);
    }
    if (poll(fds, 2, 100) <= 0) continue;
    for (int i = 0; i < 2; ++i) {
      char buffer[65536];
      const ssize_t n = fds[i].revents ? ::read(fds[i].fd, buffer, sizeof buffer) : -2;
      if (n > 0) into[i]->append(buffer, static_cast<std::size_t>(n));
      if (n == 0 || (n == -1 && errno != EINTR)) fds[i].fd = -1;  // at its end
    }
  }
  int status = 0;
  rusage usage{};
  wait4(pid_, &status, 0, &usage);
  if (ran.hung) kill(-pid_, SIGKILL);  // what it left in its group goes too
  for (int fd : {out_, err_, in_}) close(fd);
  out_ = -1;
  ran.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  ran.peakKiB = usage.ru_maxrss;
  return ran;
}

}  // namespace testing_support
