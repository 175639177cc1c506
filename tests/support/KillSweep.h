#pragma once
// Cutting a program short at exact steps: the preloaded kill library, the steps it counts, and
// the sweep that records the steps of a whole run, cuts a fresh run short after each chosen
// one, and checks what holds and that a run after it finishes the job.
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "support/Child.h"

namespace testing_support {

// The library that kills a program with SIGKILL after its Nth change under `under` (0: never),
// noting every counted change in `log` when one is given.
Environment killpoint(const std::filesystem::path& under, long at,
                      const std::filesystem::path& log = {});

// The counted changes of a run, as "call path" with paths relative to `root`.
using Steps = std::vector<std::string>;
Steps steps(const std::filesystem::path& log, const std::filesystem::path& root);

// How many steps start with this call.
long calls(const Steps& steps, const std::string& call);

// Cases of one fault class: each checked case holds when it records no failure. Prints the
// figure when it goes, and expects every case to have held.
class Tally {
 public:
  Tally(std::string what, std::string how);
  ~Tally();
  Tally(const Tally&) = delete;
  Tally& operator=(const Tally&) = delete;
  void check(const std::string& name, const std::function<void()>& body);
  int tried() const { return tried_; }

 private:
  std::string what_, how_;
  int tried_ = 0, held_ = 0;
};

// Cuts a run short after every step that `chosen` picks (given its index from 0), each in a
// fresh scene that `cutShort` makes, kills, checks and runs again. Gives how many were tried.
int sweep(const std::string& what, const Steps& steps,
          const std::function<bool(std::size_t, const std::string&)>& chosen,
          const std::function<void(long at)>& cutShort);

}  // namespace testing_support
