// Laying the desk down over an installation with kept items, as a setup run does.
//   bench-laydown BUNDLE RUNS
// HOME must be a temporary home folder whose desk folder holds the kept items. Each run
// removes what the run before set aside (untimed), then times Installer::layDown
// with BUNDLE as our own bundle. Prints "seconds S" per run.
#include <chrono>
#include <filesystem>
#include <iostream>
#include <string>

#include "desk/Paths.h"
#include "platform/bundle.h"
#include "setup/Installer.h"

namespace fs = std::filesystem;

int main(int argc, char** argv) {
  if (argc != 3) {
    std::cerr << "usage: bench-laydown BUNDLE RUNS\n";
    return 2;
  }
  platform::pretendMainBundle(argv[1]);
  const int runs = std::stoi(argv[2]);
  const fs::path install = Paths::install();
  for (int run = 0; run < runs; ++run) {
    std::error_code ignored;
    for (const auto& entry : fs::directory_iterator(install.parent_path())) {
      if (entry.path() != install) fs::remove_all(entry.path(), ignored);
    }
    auto start = std::chrono::steady_clock::now();
    try {
      Installer::layDown();
    } catch (const Installer::Failed& failed) {
      std::cerr << "failed: " << failed.why << "\n";
      return 1;
    } catch (const std::exception& error) {
      std::cerr << "failed: " << error.what() << "\n";
      return 1;
    }
    std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    std::cout << "seconds " << took.count() << std::endl;
  }
}
