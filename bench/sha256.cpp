// SHA-256 of a download held in memory, as the update check hashes it.
//   bench-sha256 MIB RUNS FILE
// Fills MIB mebibytes with pseudo-random bytes and writes them to FILE (for the baseline), or
// reads them from FILE when it is there already; hashes them RUNS times and prints
// "seconds S" for each run and "digest D" once.
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <string>

#include "platform/Digest.h"

int main(int argc, char** argv) {
  if (argc != 4) {
    std::cerr << "usage: bench-sha256 MIB RUNS FILE\n";
    return 2;
  }
  const std::size_t size = std::stoul(argv[1]) << 20;
  const int runs = std::stoi(argv[2]);
  std::string bytes(size, '\0');
  if (std::ifstream in{argv[3], std::ios::binary}) {
    if (!in.read(bytes.data(), static_cast<std::streamsize>(bytes.size()))) return 1;
  } else {
    std::uint64_t state = 0x9E3779B97F4A7C15u;
    for (std::size_t i = 0; i + 8 <= size; i += 8) {
      state ^= state << 13;
      state ^= state >> 7;
      state ^= state << 17;
      for (int b = 0; b < 8; ++b) bytes[i + b] = static_cast<char>(state >> (8 * b));
    }
    std::ofstream out(argv[3], std::ios::binary);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!out) return 1;
  }
  std::string digest;
  for (int run = 0; run < runs; ++run) {
    auto start = std::chrono::steady_clock::now();
    digest = Platform::sha256Hex(bytes);
    std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    std::cout << "seconds " << took.count() << std::endl;
  }
  std::cout << "digest " << digest << std::endl;
}
