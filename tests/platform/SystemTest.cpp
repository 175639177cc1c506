// The system underneath: SHA-256 against coreutils' sha256sum, HTTP over a plain socket to this
// computer and through libcurl elsewhere, child processes, and the bundle a program takes for its
// own. (Ed25519 is the signing tests': a key made before signs to the same bytes, a damaged key is
// refused, and every flipped bit fails; misbehaving servers are the hostile tests'.)
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <fstream>
#include <future>
#include <thread>

#include "platform/Digest.h"
#include "platform/Http.h"
#include "platform/Process.h"
#include "support/Child.h"
#include "support/Home.h"
#include "support/HostileServer.h"

using namespace testing_support;
using Platform::Http::Failure;
namespace fs = std::filesystem;

namespace {

Platform::Http::Reply ask(Platform::Http::Request request, std::function<void()> meanwhile = {}) {
  std::promise<Platform::Http::Reply> replied;
  Platform::Http::get(std::move(request), [&](Platform::Http::Reply reply) {
    if (meanwhile) meanwhile();
    replied.set_value(std::move(reply));
  });
  return replied.get_future().get();
}

bool curlMapped() {
  std::ifstream maps("/proc/self/maps");
  return std::string(std::istreambuf_iterator<char>(maps), {}).find("libcurl") != std::string::npos;
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
}

TEST(Http, LibcurlOnlyWhileATransferNeedsIt) {
  HostileServer server{{Misbehaviour::Kind::whole, head(200, "2"), "{}"}};
  EXPECT_EQ(ask({server.base() + "/", 5, 1024, false, true}).status, 200);
  EXPECT_FALSE(curlMapped()) << "a question to this computer goes without it";
  EXPECT_EQ(ask({"http://192.0.2.1/", 5, 1024, false, true}).failure, Failure::other)
      << "and goes nowhere else";
  bool loaded = false;
  EXPECT_EQ(ask({server.base() + "/", 5}, [&] { loaded = curlMapped(); }).status, 200);
  EXPECT_TRUE(loaded) << "any other request goes through libcurl";
  for (int i = 0; i < 1000 && curlMapped(); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_FALSE(curlMapped()) << "let go once no transfer is left";

  // Neither libcurl nor libcrypto is loaded when the menu-bar program starts.
  const std::string needed = run("/usr/bin/readelf", {"-d", BUILD_ROOT "/Quendrel"}).out;
  EXPECT_NE(needed.find("libQt6Widgets"), std::string::npos);
  EXPECT_EQ(needed.find("libcurl"), std::string::npos);
  EXPECT_EQ(needed.find("libcrypto"), std::string::npos);
}

// Lengths around the pieces hashed at a time and the blocks a file is read in, and one that spans
// several blocks; whole, from a file, and in uneven pieces, empty ones among them.
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
  fs::create_symlink(home / "file", home / "link");
  ASSERT_EQ(mkfifo((home / "pipe").c_str(), 0600), 0);
  for (const char* name : {"link", "pipe", "missing", ""}) {
    EXPECT_FALSE(Platform::sha256OfFile(home / name)) << name;
  }
}

// A child that leaves a background process of its own holding its output: the run ends when
// the child itself has exited, with all it wrote and its own exit status.
TEST(Process, ARunEndsWhenTheChildExitsThoughItsBackgroundProcessHoldsTheOutput) {
  const std::string leaves = "sleep 1000 &\necho $! > \"$HOME/background-pid\"\n";
  const struct {
    std::string script;
    int status;
    std::string output;
  } cases[] = {
      {"echo before\n" + leaves + "echo after >&2\nexit 3\n", 3, "before\nafter\n"},
      // Far more than a pipe holds, so the child is still writing while we read: all is kept.
      {leaves + "head -c 300000 /dev/zero | tr '\\0' x\necho; echo last\n", 0,
       std::string(300000, 'x') + "\nlast\n"},
      // Output that comes from a helper the child waits for is all there when it exits.
      {"(sleep 0.2; echo late) & wait; echo done", 0, "late\ndone\n"},
  };
  for (const auto& c : cases) {
    Home home;
    auto ran = std::async(std::launch::async, [&] {
      return Platform::run({"/bin/bash", {"-c", c.script}, ""}, Platform::Output::pipe);
    });
    // A run that has not returned within a minute fails; the background process is ended
    // either way, so that no wait outlives the test.
    EXPECT_EQ(ran.wait_for(std::chrono::seconds(60)), std::future_status::ready)
        << "the run waited for the background process";
    if (const std::string pid = read(home / "background-pid"); !pid.empty()) {
      ::kill(std::stoi(pid), SIGKILL);
    }
    const auto got = ran.get();
    const auto* exited = std::get_if<Platform::Exited>(&got);
    ASSERT_NE(exited, nullptr);
    EXPECT_EQ(std::tie(exited->status, exited->output), std::tie(c.status, c.output));
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
