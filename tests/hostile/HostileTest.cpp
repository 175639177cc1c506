// The desk and the feed misbehaving on purpose: answers that trickle, never end, never come,
// nest a million deep, carry the wrong types or statuses no server sends. Every probe must
// come back within its own bound with a plain "no usable answer", use little memory and never
// crash. The bounds checked here are only a guard against a hang.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <future>
#include <limits>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "desk/Desk.h"
#include "desk/Paths.h"
#include "support/Home.h"
#include "support/HostileServer.h"

using testing_support::head;
using testing_support::Home;
using testing_support::HostileServer;
using testing_support::Misbehaviour;
namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

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
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmHWM:", 0) == 0) return std::atol(line.c_str() + 6);
  }
  return 0;
}

// Sets a variable for the life of the object and puts the old value back.
class Variable {
 public:
  Variable(const char* name, const char* value) : name_(name) {
    if (const char* old = std::getenv(name)) old_ = old;
    if (value) {
      ::setenv(name, value, 1);
    } else {
      ::unsetenv(name);
    }
  }
  ~Variable() {
    if (old_) {
      ::setenv(name_, old_->c_str(), 1);
    } else {
      ::unsetenv(name_);
    }
  }
  Variable(const Variable&) = delete;
  Variable& operator=(const Variable&) = delete;

 private:
  const char* name_;
  std::optional<std::string> old_;
};

struct Ran {
  int status = -1;  // exit status; -1 when it had to be killed or died of a signal
  std::string output;
  long peakKiB = 0;  // the child's peak resident memory
  bool hung = false;
};

// Runs a program with an argument vector, its output in a file, killing it past the guard.
Ran run(const fs::path& program, const std::vector<std::string>& args, const fs::path& output) {
  std::vector<std::string> all{program.string()};
  all.insert(all.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (auto& a : all) argv.push_back(a.data());
  argv.push_back(nullptr);
  Ran ran;
  pid_t child = ::fork();
  if (child == 0) {
    FILE* out = std::freopen(output.c_str(), "w", stdout);
    if (!out) ::_exit(126);
    ::execv(argv[0], argv.data());
    ::_exit(127);
  }
  int status = 0;
  rusage usage{};
  auto until = Clock::now() + hangGuard;
  while (::wait4(child, &status, WNOHANG, &usage) == 0) {
    if (Clock::now() > until) {
      ran.hung = true;
      ::kill(child, SIGKILL);
      ::wait4(child, &status, 0, &usage);
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  if (!ran.hung && WIFEXITED(status)) ran.status = WEXITSTATUS(status);
  ran.peakKiB = usage.ru_maxrss;
  std::ifstream in(output);
  ran.output.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return ran;
}

struct Case {
  const char* name;
  Misbehaviour how;
};

// gtest prints the case by its name.
void PrintTo(const Case& c, std::ostream* out) {
  *out << c.name;
}

std::string repeated(char c, std::size_t n) {
  return std::string(n, c);
}

constexpr std::size_t mebibyte = 1u << 20;

std::vector<Case> cases() {
  using K = Misbehaviour::Kind;
  const std::string idle = R"({"in_use":false})";
  const std::string busy = R"({"in_use":true,"why":"Recording"})";
  const std::string deep = repeated('[', 1000000);
  const std::string balanced = repeated('[', 500000) + repeated(']', 500000);
  const std::string wrong =
      R"({"in_use":"true","why":7,"version":1.5,"sha256":["a"],"file":{"x":null}})";
  return {
      {"TrickleOneByteASecond", {K::trickle, head(200, std::to_string(busy.size())), busy}},
      {"HundredMebibytesWithLength",
       {K::flood, head(200, std::to_string(100 * mebibyte)), repeated(' ', 64 * 1024),
        100 * mebibyte}},
      {"HundredMebibytesWithoutLength",
       {K::flood, head(200), repeated('[', 64 * 1024), 100 * mebibyte}},
      {"NestedAMillionDeep", {K::whole, head(200, std::to_string(deep.size())), deep}},
      {"NestedHalfAMillionDeepAndClosed", {K::whole, head(200), balanced}},
      {"WrongTypes", {K::whole, head(200), wrong}},
      {"TopLevelNotAnObject", {K::whole, head(200), R"([{"in_use":false}])"}},
      {"Status999", {K::whole, head(999), idle}},
      {"StatusNotANumber", {K::whole, "HTTP/1.1 twohundred OK\r\n\r\n", idle}},
      {"NotHttpAtAll", {K::whole, "SSH-2.0-OpenSSH\r\n", "\x01\x02\xff"}},
      {"LengthLongerThanTheBody", {K::whole, head(200, "1000"), idle}},
      // How the client takes a length past 64 bits is its own affair; the body is no answer
      // either way.
      {"LengthHuge", {K::whole, head(200, "99999999999999999999999"), R"({"in_use":"maybe"})"}},
      {"LengthNegative", {K::whole, head(200, "-5"), idle}},
      {"HeadersThatNeverEnd",
       {K::flood, "HTTP/1.1 200 OK\r\n", "X-Pad: aaaaaaaaaaaaaaa\r\n", 100 * mebibyte}},
      {"NeverAnswers", {K::silent, "", ""}},
      {"HangsUp", {K::hangUp, "", ""}},
  };
}

class Hostile : public ::testing::TestWithParam<Case> {
 protected:
  void SetUp() override {
    fs::create_directories(Paths::firstInstall());
    std::ofstream(Paths::firstInstall() / "VERSION") << "1.4.2 build\n";
  }

  Home home;
  HostileServer server{GetParam().how};
  Variable port{"QUENDREL_PORT", std::to_string(server.port()).c_str()};
  Variable old{"TARVIC_PORT", nullptr};
};

}  // namespace

TEST_P(Hostile, EveryProbeComesBackInTimeWithoutAnAnswerAndMemoryStaysSmall) {
  // Whether anybody uses the console: nothing usable, so unknown.
  auto started = Clock::now();
  Desk::Busy busy = Desk::busy();
  EXPECT_LT(Clock::now() - started, hangGuard);
  EXPECT_EQ(busy.kind, Desk::Busy::Kind::unknown);
  EXPECT_EQ(busy.why, "");

  // The desk's state: the answer comes exactly once, in time.
  std::promise<DeskState> looked;
  auto state = looked.get_future();
  Desk::look([&looked](DeskState s) { looked.set_value(std::move(s)); });
  ASSERT_EQ(state.wait_for(hangGuard), std::future_status::ready);
  auto seen = state.get();
  EXPECT_TRUE(seen.kind == DeskState::Kind::installedNotRunning ||
              seen.kind == DeskState::Kind::answering);
  EXPECT_LT(peakKiB(), memoryBoundKiB);

  // The feed, asked by quendrelctl inside a bundle whose service is this server.
  fs::path app = home / "Applications/Quendrel.app";
  testing_support::makeBundle(app, "com.quendrel.manager", "1.0", "3", server.base());
  fs::path program = app / "Contents/MacOS/quendrelctl";
  fs::copy_file(QUENDRELCTL, program, fs::copy_options::overwrite_existing);
  Ran ran = run(program, {"check-update"}, home / "said.txt");
  EXPECT_FALSE(ran.hung) << "quendrelctl check-update hung";
  EXPECT_EQ(ran.status, 0);
  EXPECT_EQ(ran.output, "up to date\n");
  EXPECT_LT(ran.peakKiB, memoryBoundKiB) << "the feed's body is read whole";
  EXPECT_GE(server.connections(), 3);
}

TEST_P(Hostile, TheStateIsNotAnsweringForAnythingButAStatusOf200Or404) {
  std::promise<DeskState> looked;
  auto state = looked.get_future();
  Desk::look([&looked](DeskState s) { looked.set_value(std::move(s)); });
  ASSERT_EQ(state.wait_for(hangGuard), std::future_status::ready);
  std::string name = GetParam().name;
  bool statusLineIsFine = GetParam().how.head.rfind("HTTP/1.1 200 ", 0) == 0 &&
                          GetParam().how.kind != Misbehaviour::Kind::trickle &&
                          name != "HeadersThatNeverEnd";
  if (!statusLineIsFine) {
    EXPECT_EQ(state.get().kind, DeskState::Kind::installedNotRunning);
  }
}

INSTANTIATE_TEST_SUITE_P(Answers, Hostile, ::testing::ValuesIn(cases()),
                         [](const auto& info) { return std::string(info.param.name); });

// The port variables in every form. Only an optional sign and ASCII digits count; anything
// else is no port at all and the desk's default is used.
TEST(PortVariables, OnlyPlainWholeNumbersCountAndOthersFallBackToTheDefault) {
  Variable old{"TARVIC_PORT", nullptr};
  const std::pair<const char*, std::int64_t> forms[] = {
      {"8123", 8123},
      {"+8123", 8123},
      {"-8123", -8123},
      {"0008123", 8123},
      {"-0", 0},
      {"9223372036854775807", 9223372036854775807},
      {"-9223372036854775808", std::numeric_limits<std::int64_t>::min()},
      {"9223372036854775808", 8080},
      {"99999999999999999999999999", 8080},
      {"", 8080},
      {" ", 8080},
      {" 8123", 8080},
      {"8123 ", 8080},
      {"\t8123\n", 8080},
      {"+", 8080},
      {"-", 8080},
      {"+-8123", 8080},
      {"++8123", 8080},
      {"8_123", 8080},
      {"0x1fbb", 8080},
      {"8123.0", 8080},
      {"1e4", 8080},
      {"\xd9\xa8\xd9\xa1\xd9\xa2\xd9\xa3", 8080},                  // Arabic-Indic digits
      {"\xef\xbc\x98\xef\xbc\x91\xef\xbc\x92\xef\xbc\x93", 8080},  // full-width digits
      {"\xe2\x81\xb8\xc2\xb9\xc2\xb2\xc2\xb3", 8080},              // superscripts
      {"\xff\xfe", 8080},                                          // not UTF-8 at all
  };
  for (const auto& [value, expected] : forms) {
    Variable port{"QUENDREL_PORT", value};
    EXPECT_EQ(Paths::port(), expected) << "QUENDREL_PORT=\"" << value << "\"";
  }
}

TEST(PortVariables, TheOldVariableCountsOnlyWithoutTheNewOne) {
  {
    Variable port{"QUENDREL_PORT", nullptr};
    Variable old{"TARVIC_PORT", "+9001"};
    EXPECT_EQ(Paths::port(), 9001);
  }
  {
    Variable port{"QUENDREL_PORT", nullptr};
    Variable old{"TARVIC_PORT", nullptr};
    EXPECT_EQ(Paths::port(), 8080);
  }
}

// A port out of range is never asked: no connection, and no usable answer at once.
TEST(PortVariables, APortOutsideTheRangeIsNeverAsked) {
  Home home;
  fs::create_directories(Paths::firstInstall());
  HostileServer server{{Misbehaviour::Kind::whole, head(200), R"({"in_use":false})"}};
  Variable old{"TARVIC_PORT", nullptr};
  for (std::string value :
       {std::string("0"), std::string("-1"), std::string("65536"),
        std::to_string(server.port() + 65536), "-" + std::to_string(server.port())}) {
    Variable port{"QUENDREL_PORT", value.c_str()};
    EXPECT_EQ(Desk::busy().kind, Desk::Busy::Kind::unknown) << value;
    std::promise<DeskState> looked;
    auto state = looked.get_future();
    Desk::look([&looked](DeskState s) { looked.set_value(std::move(s)); });
    ASSERT_EQ(state.wait_for(hangGuard), std::future_status::ready);
    EXPECT_EQ(state.get().kind, DeskState::Kind::installedNotRunning) << value;
  }
  EXPECT_EQ(server.connections(), 0);

  // With a plus sign the same port is the server's, and it is asked.
  Variable port{"QUENDREL_PORT", ("+" + std::to_string(server.port())).c_str()};
  EXPECT_EQ(Desk::busy().kind, Desk::Busy::Kind::idle);
  EXPECT_EQ(server.connections(), 1);
}
