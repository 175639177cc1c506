// SHA-256 with either engine, whole or piece by piece, against coreutils' sha256sum over the
// same files: every length around the block and padding boundaries, and larger ones that span
// several read blocks.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "platform/digest.h"
#include "platform/process.h"
#include "support/Home.h"

using testing_support::Home;
using testing_support::write;

namespace {

std::string bytes(std::size_t size, std::uint64_t seed) {
  std::string out(size, '\0');
  for (char& c : out) {
    seed = seed * 6364136223846793005u + 1442695040888963407u;
    c = static_cast<char>(seed >> 56);
  }
  return out;
}

// What sha256sum says of each file, by path.
std::map<std::string, std::string> summed(const std::vector<std::string>& files) {
  auto ran = platform::run({"/usr/bin/sha256sum", files, ""}, platform::Output::pipe);
  const auto& exited = std::get<platform::Exited>(ran);
  EXPECT_EQ(exited.status, 0);
  std::map<std::string, std::string> digests;
  for (std::size_t at = 0; at < exited.output.size();) {
    std::size_t end = exited.output.find('\n', at);
    std::string line = exited.output.substr(at, end - at);
    digests[line.substr(66)] = line.substr(0, 64);
    at = end + 1;
  }
  return digests;
}

}  // namespace

TEST(Digest, BothEnginesAgreeWithSha256sumAtEveryBoundary) {
  Home home;
  // Around the 64-byte block and its padding, and around the 256 KiB read block.
  const std::size_t sizes[] = {0,   1,   3,   55,  56,  57,   63,    64,     65,     119,
                               120, 127, 128, 129, 999, 4096, 65537, 262144, 262145, 3145728};
  std::vector<std::string> files;
  for (std::size_t size : sizes) {
    files.push_back(write(home / ("f" + std::to_string(size)), bytes(size, size)).string());
  }
  const auto expected = summed(files);
  ASSERT_EQ(expected.size(), std::size(sizes));

  using Engine = platform::Sha256::Engine;
  for (std::size_t i = 0; i < std::size(sizes); ++i) {
    SCOPED_TRACE("size " + std::to_string(sizes[i]));
    const std::string data = bytes(sizes[i], sizes[i]);
    const std::string& want = expected.at(files[i]);
    EXPECT_EQ(platform::sha256OfFile(files[i]), want);
    EXPECT_EQ(platform::sha256Hex(data), want);
    for (Engine engine : {Engine::processor, Engine::portable}) {
      platform::Sha256 whole(engine), pieces(engine);
      whole.add(data);
      EXPECT_EQ(whole.hex(), want);
      // Uneven pieces, so that every path through the pending block is taken.
      std::size_t at = 0;
      for (std::size_t step = 1; at < data.size(); step = step * 3 + 1) {
        pieces.add(std::string_view(data).substr(at, step));
        at += step;
      }
      EXPECT_EQ(pieces.hex(), want);
    }
  }
}

TEST(Digest, OnlyRegularFilesAreHashed) {
  Home home;
  const auto file = write(home / "file", "content\n");
  std::filesystem::create_symlink(file, home / "link");
  ASSERT_EQ(mkfifo((home / "pipe").c_str(), 0600), 0);
  EXPECT_TRUE(platform::sha256OfFile(file));
  for (const char* name : {"link", "pipe", "missing", ""}) {
    EXPECT_FALSE(platform::sha256OfFile(home / name)) << name;
  }
}
