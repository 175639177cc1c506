// The system underneath: SHA-256 against coreutils' sha256sum, HTTP over a plain socket to this
// computer and through libcurl elsewhere, and the bundle a program takes for its own. (Ed25519 is
// the signing tests': a key made before signs to the same bytes, a damaged key is refused, and
// every flipped bit fails. A child that leaves a background process holding its output is the
// first setup's and the desk scripts' that print megabytes; misbehaving servers are the hostile
// tests'.)
#include <gtest/gtest.h>

#include <future>

#include "platform/Digest.h"
#include "platform/Http.h"
#include "support/Child.h"
#include "support/Home.h"
#include "support/HostileServer.h"

using namespace testing_support;
using Platform::Http::Failure;
namespace fs = std::filesystem;

namespace {

Platform::Http::Reply ask(Platform::Http::Request request) {
  std::promise<Platform::Http::Reply> replied;
  Platform::Http::get(std::move(request),
                      [&](Platform::Http::Reply reply) { replied.set_value(std::move(reply)); });
  return replied.get_future().get();
}

}  // namespace

TEST(Http, AnswersFromThisComputerHoweverTheyAreFramed) {
  const std::string body = R"({"in_use":false})";
  const std::pair<std::string, std::string> cases[] = {
      {"HTTP/1.1 200 OK\r\nContent-Length: 16\r\n\r\n", body},
      {"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n",
       "a\r\n{\"in_use\":\r\n6;x=y\r\nfalse}\r\n0\r\nX-After: 1\r\n\r\n"},
      {"HTTP/1.0 200 OK\r\n\r\n", body},  // up to the end
      // An interim answer first, bare line ends, the header in other case and spaces.
      {"HTTP/1.1 100 Continue\n\nHTTP/1.1 200 OK\ncontent-length:  16 \n\n", body},
  };
  for (const auto& [head, rest] : cases) {
    HostileServer server{{Misbehaviour::Kind::whole, head, rest}};
    const auto reply = ask({server.base() + "/in-use", 5, 1024, false, true});
    EXPECT_EQ(std::make_tuple(reply.failure, reply.status, reply.body.value_or("")),
              std::make_tuple(Failure::none, 200, body))
        << head << reply.error;
  }
  EXPECT_EQ(ask({"http://192.0.2.1/", 5, 1024, false, true}).failure, Failure::other)
      << "a question to this computer goes nowhere else";
}

TEST(Http, NeitherLibcurlNorLibcryptoIsLoadedWhenTheMenuBarProgramStarts) {
  const std::string needed = run("/usr/bin/readelf", {"-d", BUILD_ROOT "/Quendrel"}).out;
  EXPECT_NE(needed.find("libQt6Widgets"), std::string::npos);
  EXPECT_EQ(needed.find("libcurl"), std::string::npos);
  EXPECT_EQ(needed.find("libcrypto"), std::string::npos);
}

// Lengths around the pieces hashed at a time and the blocks a file is read in, and one that spans
// several blocks; whole, from a file, and in uneven pieces, empty ones among them.
TEST(Digest, AgreesWithSha256sum) {
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
    EXPECT_EQ(Platform::sha256OfFile(file).value_or("") + Platform::sha256Hex(data) + pieces.hex(),
              want + want + want)
        << "file, whole, in pieces: size " << size;
  }
}

// The running bundle is the one the program was opened from, links above it kept as named.
TEST(MainBundle, IsTheBundleAsItWasOpened) {
  Home home;
  const fs::path real = home / "real/Downloads/Quendrel.app", program = "Contents/MacOS/tests";
  fs::create_directories(real / program.parent_path());
  fs::copy_file("/proc/self/exe", real / program);
  fs::create_directory_symlink(home / "real", home / "linked");
  fs::create_directories(home / "plain");
  fs::create_directory_symlink(home / "real/Downloads", home / "plain/Downloads");
  for (const fs::path& app :
       {home / "linked/Downloads/Quendrel.app", home / "plain/Downloads/Quendrel.app", real}) {
    const Ran ran = run(app / program, {"--say-main-bundle"});
    EXPECT_EQ(ran.out, app.string() + "\n") << ran.err;
  }
}
