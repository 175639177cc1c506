// Moving a signed bundle into an Applications folder: copy, check, swap.
//   bench-move SOURCE FOLDER RUNS
// Each run removes the copy the run before put there (untimed) and times Settling::move.
// Prints "seconds S" per run.
#include <chrono>
#include <filesystem>
#include <iostream>
#include <string>
#include <variant>

#include "placement/Moving.h"

namespace fs = std::filesystem;

int main(int argc, char** argv) {
  if (argc != 4) {
    std::cerr << "usage: bench-move SOURCE FOLDER RUNS\n";
    return 2;
  }
  const fs::path source = argv[1];
  const fs::path target = fs::path(argv[2]) / "Quendrel.app";
  const int runs = std::stoi(argv[3]);
  for (int run = 0; run < runs; ++run) {
    Settling::discard(target);
    auto start = std::chrono::steady_clock::now();
    auto outcome = Settling::move(source, target, [](const fs::path&) { return false; });
    std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    if (auto* failed = std::get_if<Settling::Failed>(&outcome)) {
      std::cerr << "failed: " << failed->why << "\n";
      return 1;
    }
    if (!std::holds_alternative<Settling::Moved>(outcome)) {
      std::cerr << "not moved\n";
      return 1;
    }
    std::cout << "seconds " << took.count() << std::endl;
  }
  Settling::discard(target);
}
