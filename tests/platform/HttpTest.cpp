// HTTP as the desk and the feed are asked: questions to this computer over a plain socket,
// however the answer is framed; everything else through libcurl, loaded only while a transfer
// needs it. (Misbehaving servers are the hostile tests'.)
#include <gtest/gtest.h>

#include <fstream>
#include <future>
#include <thread>

#include "platform/Http.h"
#include "support/Child.h"
#include "support/HostileServer.h"

using namespace testing_support;
using Platform::Http::Failure;

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
