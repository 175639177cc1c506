#pragma once
// What each fuzz harness feeds its input to. The libFuzzer programs and the replay test in the
// ordinary suite call the same functions, so an input that once broke a reader keeps being
// read on every run.
#include <map>
#include <string_view>

namespace fuzzing {

// Every harness by its name, which is also the folder of its seeds and regression inputs.
const std::map<std::string_view, void (*)(std::string_view input)>& targets();

}  // namespace fuzzing
