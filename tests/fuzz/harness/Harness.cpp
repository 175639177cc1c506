// One libFuzzer program per harness; FUZZ_TARGET names it (one of those in Targets.cpp).
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "fuzz/Targets.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const auto run = fuzzing::targets().at(FUZZ_TARGET);
  run(std::string_view(reinterpret_cast<const char*>(data), size));
  return 0;
}
