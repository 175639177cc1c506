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
namespace fs = std::filesystem;

namespace {

// Far above every probe's own bound (2, 3 and 8 seconds): only a hang goes past it.
constexpr auto hangGuard = std::chrono::seconds(20);

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr long memoryBoundKiB = 600 * 1024;  // the sanitizers' own shadow memory comes on top
#else
constexpr long memoryBoundKiB = 200 * 1024;
#endif

// The peak resident memory of this process so far, in KiB.
long peakKiB() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss;
}

// The desk's state, as the menu looks at it.
DeskState look() {
  std::promise<DeskState> looked;
  auto state = looked.get_future();
  Desk::look([&looked](DeskState s) { looked.set_value(std::move(s)); });
  EXPECT_EQ(state.wait_for(hangGuard), std::future_status::ready) << "the look hung";
  return state.get();
}

struct Case {
  const char* name;
  Misbehaviour how;
  bool statusFine = false;  // a status of 200 arrives in time: the desk may count as answering
};

// gtest prints the case by its name.
void PrintTo(const Case& c, std::ostream* out) {
  *out << c.name;
}

constexpr std::size_t mebibyte = 1u << 20;

std::vector<Case> cases() {
  using K = Misbehaviour::Kind;
  const std::string idle = R"({"in_use":false})";
  const std::string busy = R"({"in_use":true,"why":"Recording"})";
  const std::string deep(1000000, '[');
  const std::string balanced = std::string(500000, '[') + std::string(500000, ']');
  const std::string wrong =
      R"({"in_use":"true","why":7,"version":1.5,"sha256":["a"],"file":{"x":null}})";
  return {
      {"TrickleOneByteASecond", {K::trickle, head(200, std::to_string(busy.size())), busy}},
      {"HundredMebibytesWithLength",
       {K::flood, head(200, std::to_string(100 * mebibyte)), std::string(64 * 1024, ' '),
        100 * mebibyte},
       true},
      {"HundredMebibytesWithoutLength",
       {K::flood, head(200), std::string(64 * 1024, '['), 100 * mebibyte},
       true},
      {"NestedAMillionDeep", {K::whole, head(200, std::to_string(deep.size())), deep}, true},
      {"NestedHalfAMillionDeepAndClosed", {K::whole, head(200), balanced}, true},
      {"WrongTypes", {K::whole, head(200), wrong}, true},
      {"TopLevelNotAnObject", {K::whole, head(200), R"([{"in_use":false}])"}, true},
      {"Status999", {K::whole, head(999), idle}},
      {"StatusNotANumber", {K::whole, "HTTP/1.1 twohundred OK\r\n\r\n", idle}},
      {"NotHttpAtAll", {K::whole, "SSH-2.0-OpenSSH\r\n", "\x01\x02\xff"}},
      {"LengthLongerThanTheBody", {K::whole, head(200, "1000"), idle}, true},
      // How the client takes a length past 64 bits is its own affair; the body is no answer
      // either way.
      {"LengthHuge",
       {K::whole, head(200, "99999999999999999999999"), R"({"in_use":"maybe"})"},
       true},
      {"LengthNegative", {K::whole, head(200, "-5"), idle}, true},
      {"HeadersThatNeverEnd",
       {K::flood, "HTTP/1.1 200 OK\r\n", "X-Pad: aaaaaaaaaaaaaaa\r\n", 100 * mebibyte}},
      {"NeverAnswers", {K::silent, "", ""}},
      {"HangsUp", {K::hangUp, "", ""}},
  };
}

class Hostile : public ::testing::TestWithParam<Case> {};

}  // namespace

TEST_P(Hostile, EveryProbeComesBackInTimeWithoutAnAnswerAndMemoryStaysSmall) {
  Home home;
  write(Paths::firstInstall() / "VERSION", "1.4.2 build\n");
  HostileServer server{GetParam().how};
  setenv("QUENDREL_PORT", std::to_string(server.port()).c_str(), 1);

  // Whether anybody uses the console: nothing usable, so unknown.
  EXPECT_EQ(Desk::busy(), Desk::Busy{});

  // The desk's state: not answering for anything but a status of 200 (or 404).
  const DeskState seen = look();
  EXPECT_TRUE(seen.kind == DeskState::Kind::installedNotRunning ||
              (GetParam().statusFine && seen.kind == DeskState::Kind::answering));
  EXPECT_LT(peakKiB(), memoryBoundKiB);

  // The feed, asked by quendrelctl inside a bundle whose service is this server.
  Ran ran = run(withCtl(home / "Applications/Quendrel.app", server.base()), {"check-update"}, {},
                Input::none, 20);
  EXPECT_FALSE(ran.hung) << "quendrelctl check-update hung";
  EXPECT_EQ(ran.status, 0);
  EXPECT_EQ(ran.out, "up to date\n");
  EXPECT_LT(ran.peakKiB, memoryBoundKiB) << "the feed's body is read whole";
  EXPECT_GE(server.connections(), 3);
}

INSTANTIATE_TEST_SUITE_P(Answers, Hostile, ::testing::ValuesIn(cases()),
                         [](const auto& info) { return std::string(info.param.name); });

// Hostile forms of the port variable (the plain ones are the desk's own tests'): anything but
// an optional sign and ASCII digits is no port, and the default is used; a port out of range
// is never asked, and gives no usable answer at once.
TEST(PortVariables, HostileFormsAndPortsOutOfRangeAreNeverAsked) {
  const std::pair<const char*, long> forms[] = {
      {"0008123", 8123},
      {"-0", 0},
      {"\t8123\n", 8080},
      {"++8123", 8080},
      {"8_123", 8080},
      {"1e4", 8080},
      {"\xef\xbc\x98\xef\xbc\x91\xef\xbc\x92\xef\xbc\x93", 8080},  // full-width digits
      {"\xe2\x81\xb8\xc2\xb9\xc2\xb2\xc2\xb3", 8080},              // superscripts
      {"\xff\xfe", 8080},                                          // not UTF-8 at all
  };
  for (const auto& [value, expected] : forms) {
    setenv("QUENDREL_PORT", value, 1);
    EXPECT_EQ(Paths::port(), expected) << "QUENDREL_PORT=\"" << value << "\"";
  }

  Home home;
  fs::create_directories(Paths::firstInstall());
  HostileServer server{{Misbehaviour::Kind::whole, head(200), R"({"in_use":false})"}};
  const std::string port = std::to_string(server.port());
  for (const std::string& value : std::vector<std::string>{
           "0", "-1", "65536", std::to_string(server.port() + 65536), "-" + port}) {
    setenv("QUENDREL_PORT", value.c_str(), 1);
    EXPECT_EQ(Desk::busy().kind, Desk::Busy::Kind::unknown) << value;
    EXPECT_EQ(look().kind, DeskState::Kind::installedNotRunning) << value;
  }
  EXPECT_EQ(server.connections(), 0);

  // With a plus sign the same port is the server's, and it is asked.
  setenv("QUENDREL_PORT", ("+" + port).c_str(), 1);
  EXPECT_EQ(Desk::busy().kind, Desk::Busy::Kind::idle);
  EXPECT_EQ(server.connections(), 1);
}
