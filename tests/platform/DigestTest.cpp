// SHA-256 against coreutils' sha256sum: lengths around the pieces hashed at a time and the
// blocks a file is read in, and one that spans several blocks; whole, from a file, and in uneven
// pieces, empty ones among them. (Ed25519 is the signing tests': a key made before signs to the
// same bytes, a damaged key is refused, and every flipped bit fails.)
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "platform/Digest.h"
#include "support/Child.h"
#include "support/Home.h"

using namespace testing_support;

TEST(Digest, AgreesWithSha256sumForRegularFilesOnly) {
  Home home;
  for (std::size_t size : {0, 57, 4096, 8193, 262144, 600000}) {
    std::string data(size, '\0');
    std::uint64_t seed = size;
    for (char& c : data) c = static_cast<char>((seed = seed * 6364136223846793005u + 1) >> 56);
    const auto file = write(home / "file", data);
    const std::string want = run("/usr/bin/sha256sum", {file.string()}).out.substr(0, 64);
    Platform::Sha256 pieces;
    for (std::size_t at = 0, step = 1; at < data.size(); at += step, step = step * 3 + 1) {
      pieces.add(std::string_view(data).substr(at, step));
      pieces.add(std::string_view());
    }
    EXPECT_EQ(std::make_tuple(Platform::sha256OfFile(file).value_or(""), Platform::sha256Hex(data),
                              pieces.hex()),
              std::make_tuple(want, want, want))
        << "size " << size;
  }
  std::filesystem::create_symlink(home / "file", home / "link");
  ASSERT_EQ(mkfifo((home / "pipe").c_str(), 0600), 0);
  for (const char* name : {"link", "pipe", "missing", ""}) {
    EXPECT_FALSE(Platform::sha256OfFile(home / name)) << name;
  }
}
