// Verifying hashes a bundle's files on two threads; whichever thread finds a change, the
// verdict names the first changed file in manifest order, every time.
#include <gtest/gtest.h>

#include "signing/CodeSign.h"
#include "support/Copies.h"
#include "support/Home.h"

using namespace placement_testing;
using testing_support::Home;
using testing_support::read;
using testing_support::write;
namespace fs = std::filesystem;

TEST(Verify, NamesTheFirstChangedFileWhicheverThreadFindsIt) {
  Home home;
  Key key = makeKey(home / "key");
  const fs::path app = home / "Quendrel.app";
  const fs::path many = app / "Contents/Resources/many";
  for (int i = 0; i < 200; ++i) {
    // 140 is large: while one thread hashes it, the other finds 141 changed first.
    const std::size_t size = i == 40 ? 16u << 20 : 1 + (i * 7919) % 70000;
    write(many / (std::to_string(100 + i) + ".bin"),
          std::string(size, static_cast<char>('a' + i % 26)));
  }
  makeApp(app, {}, &key);

  auto verdict = [&] {
    auto found = CodeSign::verify(app);
    auto* invalid = std::get_if<CodeSign::Invalid>(&found);
    return invalid ? invalid->why : "valid";
  };
  EXPECT_EQ(verdict(), "valid");

  const int changed[] = {290, 141, 140};
  for (int name : changed) {
    const fs::path file = many / (std::to_string(name) + ".bin");
    std::string bytes = read(file);
    bytes.back() ^= 1;  // same size: only the digest tells
    write(file, bytes);
  }
  for (int round = 0; round < 20; ++round) {
    ASSERT_EQ(verdict(), "Contents/Resources/many/140.bin was changed") << "round " << round;
  }
  fs::remove(many / "140.bin");
  EXPECT_EQ(verdict(), "Contents/Resources/many/140.bin is missing") << "the shape comes first";
}
