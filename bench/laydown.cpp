// Laying the desk down over an installation with kept items, as a setup run does.
//   bench-laydown BUNDLE RUNS SPENT
// HOME must be a temporary home folder whose desk folder holds the kept items. Each run moves
// what the run before set aside into the folder SPENT (untimed: nothing is removed, since the
// file system would make the next run pay for the freed inodes), writes everything out to disk
// (sync, untimed), then times Installer::layDown with BUNDLE as our own bundle. Prints
// "seconds S" per run.
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <iostream>
#include <string>

#include "desk/Paths.h"
#include "platform/Bundle.h"
#include "setup/Installer.h"
#include "support/MainBundle.h"

namespace fs = std::filesystem;

int main(int argc, char** argv) {
  if (argc != 4) {
    std::cerr << "usage: bench-laydown BUNDLE RUNS SPENT\n";
    return 2;
  }
  testing_support::pretendMainBundle(argv[1]);
  const int runs = std::stoi(argv[2]);
  const fs::path spent = argv[3];
  const fs::path install = Paths::install();
  for (int run = 0; run < runs; ++run) {
    for (const auto& entry : fs::directory_iterator(install.parent_path())) {
      if (entry.path() == install) continue;
      fs::path away = spent / (std::to_string(getpid()) + "-" + std::to_string(run) + "-" +
                               entry.path().filename().string());
      fs::rename(entry.path(), away);
    }
    sync();
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
