// Every seed and every input that once broke a reader, fed again to the fuzz harnesses'
// functions in the ordinary suite (no fuzzer needed).
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "fuzz/Targets.h"

namespace fs = std::filesystem;

namespace {

// The files of tests/fuzz/<kind>/<harness>/, sorted.
std::vector<fs::path> inputs(const std::string& kind, const std::string& harness) {
  std::vector<fs::path> files;
  fs::path folder = fs::path(SOURCE_ROOT) / "tests/fuzz" / kind / harness;
  std::error_code error;
  for (const auto& item : fs::directory_iterator(folder, error)) {
    if (item.is_regular_file()) files.push_back(item.path());
  }
  std::sort(files.begin(), files.end());
  return files;
}

std::string contents(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  std::ostringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}

}  // namespace

TEST(Replay, EveryHarnessHasSeedsAndReadsThemAndItsRegressions) {
  int regressions = 0;
  for (const auto& target : fuzzing::targets()) {
    auto seeds = inputs("seeds", target.name);
    EXPECT_FALSE(seeds.empty()) << target.name << " has no seeds";
    auto found = inputs("regressions", target.name);
    regressions += static_cast<int>(found.size());
    for (const auto& file : seeds) target.run(contents(file));
    for (const auto& file : found) {
      SCOPED_TRACE(file.string());
      target.run(contents(file));
    }
  }
  RecordProperty("regressions", regressions);
}

TEST(Replay, RegressionFoldersNameHarnesses) {
  std::error_code error;
  for (const auto& item :
       fs::directory_iterator(fs::path(SOURCE_ROOT) / "tests/fuzz/regressions", error)) {
    if (item.is_directory()) {
      EXPECT_NE(fuzzing::find(item.path().filename().string()), nullptr) << item.path();
    }
  }
}
