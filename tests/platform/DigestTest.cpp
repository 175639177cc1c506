// SHA-256, whole or piece by piece, against coreutils' sha256sum over the same files: every
// length around the block and padding boundaries, and larger ones that span several read blocks.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "platform/Digest.h"
#include "support/Child.h"
#include "support/Home.h"

using namespace testing_support;

TEST(Digest, AgreesWithSha256sumAtEveryBoundary) {
  Home home;
  for (std::size_t size : {0,   1,   3,   55,  56,  57,   63,    64,     65,     119,
                           120, 127, 128, 129, 999, 4096, 65537, 262144, 262145, 3145728}) {
    SCOPED_TRACE("size " + std::to_string(size));
    std::string data(size, '\0');
    std::uint64_t seed = size;
    for (char& c : data) c = static_cast<char>((seed = seed * 6364136223846793005u + 1) >> 56);
    const auto file = write(home / "file", data);
    const std::string want = run("/usr/bin/sha256sum", {file.string()}).out.substr(0, 64);
    EXPECT_EQ(Platform::sha256OfFile(file), want);
    EXPECT_EQ(Platform::sha256Hex(data), want);
    // Uneven pieces, empty ones among them, across every block and padding boundary.
    Platform::Sha256 pieces;
    for (std::size_t at = 0, step = 1; at < data.size(); at += step, step = step * 3 + 1) {
      pieces.add(std::string_view(data).substr(at, step));
      pieces.add(std::string_view());
    }
    EXPECT_EQ(pieces.hex(), want);
  }
  EXPECT_EQ(Platform::sha256Hex("abc"),
            "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
}

TEST(Digest, OnlyRegularFilesAreHashed) {
  Home home;
  const auto file = write(home / "file", "content\n");
  std::filesystem::create_symlink(file, home / "link");
  ASSERT_EQ(mkfifo((home / "pipe").c_str(), 0600), 0);
  EXPECT_TRUE(Platform::sha256OfFile(file));
  for (const char* name : {"link", "pipe", "missing", ""}) {
    EXPECT_FALSE(Platform::sha256OfFile(home / name)) << name;
  }
}
