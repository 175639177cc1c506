#include "platform/Process.h"

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <string_view>
#include <thread>
#include <utility>

#include "platform/Descriptor.h"

extern char** environ;

namespace Platform {
namespace {

// posix_spawn's attributes and file actions, released however we leave.
struct SpawnSetup {
  posix_spawn_file_actions_t actions;
  posix_spawnattr_t attributes;
  SpawnSetup() {
    posix_spawn_file_actions_init(&actions);
    posix_spawnattr_init(&attributes);
  }
  ~SpawnSetup() {
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
  }
  SpawnSetup(const SpawnSetup&) = delete;
  SpawnSetup& operator=(const SpawnSetup&) = delete;
};

struct Started {
  pid_t pid = -1;
  Descriptor reader;  // the read end of the output pipe, with Output::pipe
  std::string why;    // set when the child could not be started
};

// The descriptor a child started by launchAnswering finds its end of the answer socket at.
constexpr int answerDescriptor = 3;

Started start(const Command& command, Output output, bool newSession,
              const Environment& environment, const Descriptor* answer = nullptr) {
  Started started;
  SpawnSetup setup;
  // Nobody answers a child at our standard input (a menu-bar application has nobody there,
  // and a terminal we were started from is not where the child's questions show): a script
  // that reads it finds its end at once rather than wait for ever while we wait for it.
  posix_spawn_file_actions_addopen(&setup.actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  Descriptor writer;
  if (output == Output::pipe) {
    int ends[2];
    if (pipe2(ends, O_CLOEXEC) != 0) {
      started.why = std::strerror(errno);
      return started;
    }
    started.reader = Descriptor(ends[0]);
    writer = Descriptor(ends[1]);
    posix_spawn_file_actions_adddup2(&setup.actions, writer.get(), STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&setup.actions, writer.get(), STDERR_FILENO);
  } else if (output == Output::null) {
    posix_spawn_file_actions_addopen(&setup.actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_adddup2(&setup.actions, STDOUT_FILENO, STDERR_FILENO);
  }
  if (answer) posix_spawn_file_actions_adddup2(&setup.actions, answer->get(), answerDescriptor);
  if (!command.cwd.empty()) {
    posix_spawn_file_actions_addchdir_np(&setup.actions, command.cwd.c_str());
  }
  short flags = POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF;
  if (newSession) flags |= POSIX_SPAWN_SETSID;
  sigset_t none, all;
  sigemptyset(&none);
  sigfillset(&all);
  posix_spawnattr_setsigmask(&setup.attributes, &none);
  posix_spawnattr_setsigdefault(&setup.attributes, &all);
  posix_spawnattr_setflags(&setup.attributes, flags);

  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(command.program.c_str()));
  for (const auto& a : command.args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);

  std::vector<std::string> added;
  for (const auto& [name, value] : environment) added.push_back(name + "=" + value);
  std::vector<char*> envp;
  for (char** e = environ; e && *e; ++e) {
    std::string_view entry(*e);
    bool replaced = false;
    for (const auto& [name, value] : environment) {
      if (entry.size() > name.size() && entry.compare(0, name.size(), name) == 0 &&
          entry[name.size()] == '=') {
        replaced = true;
      }
    }
    if (!replaced) envp.push_back(*e);
  }
  for (auto& a : added) envp.push_back(a.data());
  envp.push_back(nullptr);

  pid_t pid = -1;
  int error = posix_spawn(&pid, command.program.c_str(), &setup.actions, &setup.attributes,
                          argv.data(), envp.data());
  if (error != 0) {
    started.why = std::strerror(error);
    started.reader = Descriptor();
    return started;
  }
  started.pid = pid;
  return started;
}

// How long the output is still read once the child has exited: what it wrote last is already
// in the pipe, and a process it left running may hold the pipe open for as long as it lives.
constexpr auto grace = std::chrono::milliseconds(500);
// Without an exit notice, how often we look whether the child has exited.
constexpr int lookEveryMilliseconds = 50;

// Whether the child has exited, leaving it to be waited for.
bool hasExited(pid_t pid) {
  siginfo_t info{};
  if (waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) != 0) {
    return errno != EINTR;
  }
  return info.si_pid != 0;
}

int millisecondsUntil(std::chrono::steady_clock::time_point deadline) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
      deadline - std::chrono::steady_clock::now());
  return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

// Reads the child's output while it runs, then for the grace only: its exit, not the end of
// the pipe, ends the reading.
std::string readUntilExited(const Descriptor& reader, pid_t pid) {
  // Readable once the child has exited; without one (an old or a confined system) we look.
  // The system call itself: Debian 12's <sys/pidfd.h> declares pidfd_open without C linkage.
  const Descriptor exitNotice(static_cast<int>(syscall(SYS_pidfd_open, pid, 0)));
  std::string output;
  char buffer[65536];
  std::optional<std::chrono::steady_clock::time_point> deadline;
  for (;;) {
    pollfd watched[2] = {{reader.get(), POLLIN, 0}, {exitNotice.get(), POLLIN, 0}};
    const bool watchingExit = exitNotice.valid() && !deadline;
    const int timeout = deadline       ? millisecondsUntil(*deadline)
                        : watchingExit ? -1
                                       : lookEveryMilliseconds;
    if (poll(watched, watchingExit ? 2 : 1, timeout) < 0 && errno != EINTR) break;
    if (!deadline &&
        ((watchingExit && watched[1].revents != 0) || (!watchingExit && hasExited(pid)))) {
      deadline = std::chrono::steady_clock::now() + grace;
    }
    if (watched[0].revents != 0) {
      ssize_t n = read(reader.get(), buffer, sizeof buffer);
      if (n == 0 || (n < 0 && errno != EINTR)) break;
      if (n > 0) output.append(buffer, static_cast<size_t>(n));
    }
    if (deadline && millisecondsUntil(*deadline) == 0) break;
  }
  return output;
}

int waitFor(pid_t pid) {
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return 255;
  }
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return 255;
}

}  // namespace

Ran run(const Command& command, Output output) {
  Started started = start(command, output, false, {});
  if (started.pid < 0) return Unstarted{started.why};
  Exited exited;
  if (started.reader.valid()) {
    exited.output = readUntilExited(started.reader, started.pid);
    started.reader = Descriptor();
  }
  exited.status = waitFor(started.pid);
  return exited;
}

std::optional<std::string> launch(const Command& command, Output output, bool newSession,
                                  const Environment& environment) {
  // A launched child's output cannot be read by anyone, so a pipe becomes the null device.
  Started started =
      start(command, output == Output::pipe ? Output::null : output, newSession, environment);
  if (started.pid < 0) return started.why;
  std::thread([pid = started.pid] { waitFor(pid); }).detach();
  return std::nullopt;
}

Answering::Answering(Answering&& other) noexcept
    : pid_(std::exchange(other.pid_, -1)),
      reader_(std::move(other.reader_)),
      heard_(std::move(other.heard_)) {}

Answering::Word Answering::word() {
  if (pid_ < 0) return Word::ended;
  // What it wrote before it exited is in the socket by the time its exit shows.
  const bool exited = hasExited(pid_);
  char buffer[64];
  ssize_t n = 0;
  while ((n = read(reader_.get(), buffer, sizeof buffer)) > 0) {
    heard_.append(buffer, static_cast<size_t>(n));
  }
  if (heard_.starts_with("up\n")) return Word::up;
  return exited ? Word::ended : Word::none;
}

void Answering::stop() {
  if (pid_ < 0) return;
  kill(pid_, SIGKILL);
  waitFor(std::exchange(pid_, -1));
}

void Answering::letGo() {
  if (pid_ < 0) return;
  std::thread([pid = std::exchange(pid_, -1)] { waitFor(pid); }).detach();
}

std::variant<Answering, Unstarted> launchAnswering(const Command& command,
                                                   const Environment& environment) {
  // A socket rather than a pipe, so that a child whose starter has gone is not killed by
  // SIGPIPE when it says it is up.
  int ends[2];
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, ends) != 0) {
    return Unstarted{std::strerror(errno)};
  }
  Descriptor reader(ends[0]);
  const Descriptor writer(ends[1]);
  // The child's end is as a child expects it: only ours is read without waiting.
  fcntl(writer.get(), F_SETFL, 0);
  Environment told = environment;
  told.emplace_back(answerVariable, std::to_string(answerDescriptor));
  Started started = start(command, Output::inherit, true, told, &writer);
  if (started.pid < 0) return Unstarted{started.why};
  return Answering(started.pid, std::move(reader));
}

void openInBrowser(const std::string& address) {
  launch({"/usr/bin/xdg-open", {address}, ""}, Output::null);
}

int selfPid() {
  return static_cast<int>(getpid());
}

}  // namespace Platform
