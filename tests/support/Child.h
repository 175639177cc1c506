#pragma once
// The one way tests start programs: an argument vector (never a shell line), extra environment
// variables, output and errors kept apart, in a process group of its own that is killed with
// it, and a guard against a hang that is never a timing.
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

namespace testing_support {

namespace fs = std::filesystem;
using Environment = std::vector<std::pair<std::string, std::string>>;

// Its standard input: the null device, or a pipe that stays open and silent, like a terminal
// nobody types at.
enum class Input { none, quiet };

struct Ran {
  int status = -1;  // exit status, or 128 + signal
  std::string out, err;
  bool hung = false;  // still running after the guard, and killed
  long peakKiB = 0;   // its peak resident memory
};

class Child {
 public:
  Child(const fs::path& program, const std::vector<std::string>& args,
        const Environment& environment = {}, Input input = Input::none);
  ~Child() { wait(0); }
  Child(Child&&) = delete;  // neither copied nor moved
  int pid() const { return pid_; }
  // Reads its output to the end and waits for it, killing its group once it has run `guard`
  // seconds. Once only: later calls give an empty Ran.
  Ran wait(double guard = 240);

 private:
  int pid_ = -1, out_ = -1, err_ = -1, in_ = -1;
};

inline Ran run(const fs::path& program, const std::vector<std::string>& args,
               const Environment& environment = {}, Input input = Input::none, double guard = 240) {
  return Child(program, args, environment, input).wait(guard);
}

// Whether something listens on this port of 127.0.0.1.
bool listening(int port);

// The preloaded libraries cannot go before a sanitizer's runtime: tests that need them skip.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
inline constexpr bool sanitized = true;
#else
inline constexpr bool sanitized = false;
#endif

// The preloaded library that makes a program's steady clocks, and its waits, run `factor`
// times as fast once it receives SIGUSR1.
inline Environment fastClock(long factor) {
  return {{"LD_PRELOAD", FASTCLOCK}, {"FASTCLOCK_FACTOR", std::to_string(factor)}};
}

}  // namespace testing_support
