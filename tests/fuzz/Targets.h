#pragma once
// What each fuzz harness feeds its input to. The libFuzzer programs and the replay test in the
// ordinary suite call the same functions, so an input that once broke a reader keeps being
// read on every run.
#include <string_view>
#include <vector>

namespace fuzzing {

struct Target {
  const char* name;  // also the folder of its seeds and regression inputs
  void (*run)(std::string_view input);
};

// Every harness, in a fixed order.
const std::vector<Target>& targets();

// The harness of this name; nullptr when there is none.
const Target* find(std::string_view name);

}  // namespace fuzzing
