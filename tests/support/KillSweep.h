#pragma once
// Cutting a program short at exact steps: the preloaded kill library, the steps it counts, and
// the sweep that records the steps of a whole run, cuts a fresh run short after each chosen
// one, and checks what holds and that a run after it finishes the job.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <iostream>
#include <sstream>

#include "support/Child.h"
#include "support/Home.h"

namespace testing_support {

// The library that kills a program with SIGKILL after its Nth change under `under` (0: never),
// noting every counted change in `log` when one is given.
inline Environment killpoint(const fs::path& under, long at, const fs::path& log = {}) {
  Environment environment{
      {"LD_PRELOAD", KILLPOINT}, {"KILLPOINT_UNDER", under}, {"KILLPOINT_AT", std::to_string(at)}};
  if (!log.empty()) environment.emplace_back("KILLPOINT_LOG", log);
  return environment;
}

// The counted changes of a run, as "call path" with paths relative to `root`.
using Steps = std::vector<std::string>;
inline Steps steps(const fs::path& log, const fs::path& root) {
  Steps lines;
  std::istringstream all(read(log));
  const std::string prefix = root.string() + "/";
  for (std::string line; std::getline(all, line); lines.push_back(line)) {
    line.erase(0, line.find(' ') + 1);  // the counter goes
    if (auto at = line.find(prefix); at != std::string::npos) line.erase(at, prefix.size());
  }
  return lines;
}

// How many steps start with this call.
inline long calls(const Steps& steps, const std::string& call) {
  return std::ranges::count_if(steps,
                               [&](const auto& step) { return step.starts_with(call + " "); });
}

// Cases of one fault class: each checked case holds when it records no failure. Prints the
// figure when it goes, and expects every case to have held.
class Tally {
 public:
  Tally(std::string what, std::string how) : what_(std::move(what)), how_(std::move(how)) {}
  ~Tally() {
    std::cout << "[ faults   ] " << what_ << ": " << tried_ << " tried, " << held_ << " " << how_
              << std::endl;
    EXPECT_EQ(held_, tried_) << what_;
  }
  Tally(Tally&&) = delete;  // neither copied nor moved
  void check(const std::string& name, const std::function<void()>& body) {
    SCOPED_TRACE(name);
    const auto* result = ::testing::UnitTest::GetInstance()->current_test_info()->result();
    const int before = result->total_part_count();
    body();
    ++tried_;
    held_ += result->total_part_count() == before;
  }
  int tried() const { return tried_; }

 private:
  std::string what_, how_;
  int tried_ = 0, held_ = 0;
};

// Cuts a run short after every step that `chosen` picks (given its index from 0), each in a
// fresh scene that `cutShort` makes, kills, checks and runs again. Gives how many were tried.
inline int sweep(const std::string& what, const Steps& steps,
                 const std::function<bool(std::size_t, const std::string&)>& chosen,
                 const std::function<void(long at)>& cutShort) {
  Tally tally(what, "recovered");
  for (long at = 1; at <= static_cast<long>(steps.size()); ++at) {
    const std::string& step = steps[at - 1];
    if (chosen(at - 1, step))
      tally.check("killed after " + std::to_string(at) + ": " + step, [&] { cutShort(at); });
  }
  return tally.tried();
}

}  // namespace testing_support
