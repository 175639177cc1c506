// The desk and the feed misbehaving on purpose: answers that trickle, never end, never come,
// nest a million deep, carry the wrong types or statuses no server sends. Every probe must
// come back within its own bound with a plain "no usable answer", use little memory and never
// crash. The bounds checked here are only a guard against a hang.
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <future>

#include "desk/Desk.h"
#include "desk/Paths.h"
#include "support/Bundles.h"
#include "support/Child.h"
#include "support/Home.h"
#include "support/HostileServer.h"

using namespace testing_support;
using K = Misbehaviour::Kind;

namespace {

// The sanitizers' own shadow memory comes on top.
constexpr long memoryBoundKiB = (sanitized ? 600 : 200) * 1024;

const std::string idle = R"({"in_use":false})", busy = R"({"in_use":true,"why":"Recording"})";
const std::string deep(1000000, '['), spaces(65536, ' '), hundred = std::to_string(100u << 20);
const std::string wrong =
    R"({"in_use":"true","why":7,"version":1.5,"sha256":["a"],"file":{"x":null}})";
const std::pair<const char*, Misbehaviour> cases[] = {
    {"TrickleOneByteASecond", {K::trickle, head(200, std::to_string(busy.size())), busy}},
    {"HundredMebibytesWithLength", {K::flood, head(200, hundred), spaces, 100u << 20}},
    {"HundredMebibytesWithoutLength", {K::flood, head(200), std::string(65536, '['), 100u << 20}},
    {"NestedAMillionDeep", {K::whole, head(200, std::to_string(deep.size())), deep}},
    {"NestedHalfAMillionDeepAndClosed",
     {K::whole, head(200), deep.substr(500000) + std::string(500000, ']')}},
    {"WrongTypes", {K::whole, head(200), wrong}},
    {"TopLevelNotAnObject", {K::whole, head(200), "[" + idle + "]"}},
    {"Status999", {K::whole, head(999), idle}},
    {"StatusNotANumber", {K::whole, "HTTP/1.1 twohundred OK\r\n\r\n", idle}},
    {"NotHttpAtAll", {K::whole, "SSH-2.0-OpenSSH\r\n", "\x01\x02\xff"}},
    {"LengthLongerThanTheBody", {K::whole, head(200, "1000"), idle}},
    // How the client takes a length past 64 bits is its own affair; no answer either way.
    {"LengthHuge", {K::whole, head(200, "99999999999999999999999"), R"({"in_use":"maybe"})"}},
    {"LengthNegative", {K::whole, head(200, "-5"), idle}},
    {"HeadersThatNeverEnd", {K::flood, "HTTP/1.1 200 OK\r\n", "X-Pad: aaaaaaaa\r\n", 100u << 20}},
    {"NeverAnswers", {K::silent, "", ""}},
    {"HangsUp", {K::hangUp, "", ""}},
};

class Hostile : public ::testing::TestWithParam<std::size_t> {};

}  // namespace

TEST_P(Hostile, EveryProbeComesBackInTimeWithoutAnAnswerAndMemoryStaysSmall) {
  Home home;
  write(Paths::firstInstall() / "VERSION", "1.4.2 build\n");
  const Misbehaviour& how = cases[GetParam()].second;
  HostileServer server{how};
  setenv("QUENDREL_PORT", std::to_string(server.port()).c_str(), 1);

  // Whether anybody uses the console: nothing usable, so unknown.
  EXPECT_EQ(Desk::busy(), Desk::Busy{});
  // The desk's state: not answering, but where a whole status line of 200 and its headers come
  // at once the desk may count as answering.
  const bool status200 = how.kind != K::trickle && how.head.starts_with("HTTP/1.1 200") &&
                         how.head.ends_with("\r\n\r\n");
  // The look, as the menu makes it: far above the probes' own bounds (2, 3 and 8 seconds), only
  // a hang goes past the guard.
  std::promise<DeskState> looked;
  Desk::look([&looked](DeskState s) { looked.set_value(std::move(s)); });
  auto state = looked.get_future();
  EXPECT_EQ(state.wait_for(std::chrono::seconds(20)), std::future_status::ready) << "it hung";
  const DeskState::Kind seen = state.get().kind;
  EXPECT_TRUE(seen == DeskState::Kind::installedNotRunning ||
              (status200 && seen == DeskState::Kind::answering));
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  EXPECT_LT(usage.ru_maxrss, memoryBoundKiB) << "KiB at the peak";

  // The feed, asked by quendrelctl inside a bundle whose service is this server.
  Ran ran = run(withCtl(home / "Applications/Quendrel.app", server.base()), {"check-update"}, {},
                Input::none, 20);
  EXPECT_EQ(std::tuple(ran.hung, ran.status, ran.out), std::tuple(false, 0, "up to date\n"));
  EXPECT_LT(ran.peakKiB, memoryBoundKiB) << "the feed's body is read whole";
  EXPECT_GE(server.connections(), 3);
}

INSTANTIATE_TEST_SUITE_P(Answers, Hostile, ::testing::Range(std::size_t{0}, std::size(cases)),
                         [](const auto& info) { return std::string(cases[info.param].first); });

// Hostile forms of the port variable: anything but an optional sign and ASCII digits is no
// port (the default is used), and a port out of range, or one that would wrap round to a real
// one, is never asked; with a plus sign or leading zeros it is the port.
TEST(PortVariables, HostileFormsAndPortsOutOfRangeAreNeverAsked) {
  Home home;
  std::filesystem::create_directories(Paths::firstInstall());
  HostileServer server{{K::whole, head(200), idle}};
  const std::string port = std::to_string(server.port());
  for (const std::string& value :
       {std::string("0"), std::string("65536"), std::to_string(server.port() + 65536), "-" + port,
        "++" + port, "\t" + port, port + "\n", "\xef\xbc\x98" + port /* a full-width digit */,
        "+" + port, "000" + port}) {
    setenv("QUENDREL_PORT", value.c_str(), 1);
    const bool asked = value == "+" + port || value == "000" + port;
    EXPECT_EQ(Desk::busy().kind == Desk::Busy::Kind::idle, asked) << "QUENDREL_PORT=" << value;
  }
  EXPECT_EQ(server.connections(), 2);
}
