// HTTP as the desk and the feed are asked: questions to this computer over a plain socket,
// however the answer is framed; everything else through libcurl, loaded only while a transfer
// needs it. (Misbehaving servers are the hostile tests'.)
#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <future>
#include <thread>

#include "platform/Http.h"
#include "support/Child.h"
#include "support/HostileServer.h"

using namespace testing_support;
using Platform::Http::Failure;

namespace {

Platform::Http::Reply ask(Platform::Http::Request request,
                          const std::function<void()>& meanwhile = {}) {
  std::promise<Platform::Http::Reply> replied;
  Platform::Http::get(std::move(request), [&](Platform::Http::Reply reply) {
    if (meanwhile) meanwhile();
    replied.set_value(std::move(reply));
  });
  return replied.get_future().get();
}

bool mapped(const std::string& library) {
  std::ifstream maps("/proc/self/maps");
  std::string line;
  while (std::getline(maps, line)) {
    if (line.find(library) != std::string::npos) return true;
  }
  return false;
}

}  // namespace

TEST(Http, AnswersFromThisComputerHoweverTheyAreFramed) {
  const std::string body = R"({"in_use":false})";
  const struct {
    const char* what;
    std::string head;
    std::string rest;
  } cases[] = {
      {"with a length", "HTTP/1.1 200 OK\r\nContent-Length: 16\r\n\r\n", body},
      {"in chunks", "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n",
       "a\r\n{\"in_use\":\r\n6;x=y\r\nfalse}\r\n0\r\nX-After: 1\r\n\r\n"},
      {"up to the end", "HTTP/1.0 200 OK\r\n\r\n", body},
      {"after an interim answer",
       "HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 200 OK\r\ncontent-length:  16 \r\n\r\n", body},
      {"with bare line ends", "HTTP/1.1 200 OK\nContent-Length: 16\n\n", body},
  };
  for (const auto& c : cases) {
    HostileServer server{{Misbehaviour::Kind::whole, c.head, c.rest}};
    const auto reply = ask({server.base() + "/in-use", 5, 1024, false, true});
    EXPECT_EQ(reply.failure, Failure::none) << c.what << ": " << reply.error;
    EXPECT_EQ(reply.status, 200) << c.what;
    EXPECT_EQ(reply.body.value_or(""), body) << c.what;
  }
}

TEST(Http, LibcurlOnlyWhileATransferNeedsIt) {
  HostileServer server{{Misbehaviour::Kind::whole, head(200, "2"), "{}"}};
  EXPECT_EQ(ask({server.base() + "/", 5, 1024, false, true}).status, 200);
  EXPECT_FALSE(mapped("libcurl")) << "a question to this computer goes without it";
  EXPECT_EQ(ask({"http://192.0.2.1/", 5, 1024, false, true}).failure, Failure::other)
      << "and goes nowhere else";

  bool loaded = false;
  EXPECT_EQ(ask({server.base() + "/", 5}, [&] { loaded = mapped("libcurl"); }).status, 200);
  EXPECT_TRUE(loaded) << "any other request goes through libcurl";
  bool unloaded = false;
  for (int i = 0; i < 1000 && !unloaded; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    unloaded = !mapped("libcurl");
  }
  EXPECT_TRUE(unloaded) << "let go once no transfer is left";

  // Neither libcurl nor libcrypto is loaded when the menu-bar program starts.
  const Ran needed = run("/usr/bin/readelf", {"-d", BUILD_ROOT "/Quendrel"});
  ASSERT_EQ(needed.status, 0);
  EXPECT_NE(needed.out.find("libQt6Widgets"), std::string::npos);
  EXPECT_EQ(needed.out.find("libcurl"), std::string::npos);
  EXPECT_EQ(needed.out.find("libcrypto"), std::string::npos);
}
