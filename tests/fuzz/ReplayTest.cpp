// Every seed and every input that once broke a reader, fed again to the fuzz harnesses'
// functions in the ordinary suite (no fuzzer needed).
#include <gtest/gtest.h>

#include "fuzz/Targets.h"
#include "support/Home.h"

namespace fs = std::filesystem;

TEST(Replay, EveryHarnessHasSeedsAndReadsThemAndItsRegressions) {
  const fs::path root = fs::path(SOURCE_ROOT) / "tests/fuzz";
  for (const char* kind : {"seeds", "regressions"})
    for (const auto& folder : fs::directory_iterator(root / kind)) {
      const auto target = fuzzing::targets().find(folder.path().filename().string());
      ASSERT_NE(target, fuzzing::targets().end()) << folder.path() << " names no harness";
      for (const auto& file : fs::directory_iterator(folder)) {
        SCOPED_TRACE(file.path().string());
        target->second(testing_support::read(file.path()));
      }
    }
  for (const auto& [name, run] : fuzzing::targets())
    EXPECT_FALSE(fs::is_empty(root / "seeds" / name)) << name << " has no seeds";
}
